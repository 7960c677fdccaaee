// The private ASIO protocol between the kernel driver and the ASIO library: the device I/O control
// codes, the records they carry, the shared ring header, and the arithmetic both sides of the
// kernel service agree on (latency table, sample types, transfer split). Everything here is
// bounded arithmetic on values the caller has already checked; nothing reads a request.
#pragma once

#include <win/kernel.h>
#include <win/mmreg.h>

#include <cstddef>

// ASIO sample types the driver knows (published ASIO values).
constexpr ULONG AsioSampleTypeInt16Lsb = 16;
constexpr ULONG AsioSampleTypeInt24Lsb = 17;
constexpr ULONG AsioSampleTypeInt32Lsb = 18;
constexpr ULONG AsioSampleTypeInt32Lsb16 = 24;
constexpr ULONG AsioSampleTypeInt32Lsb24 = 27;
constexpr ULONG AsioSampleTypeDsdInt8Msb1 = 33;

// Defaults of the adapter's ASIO settings before the stored values are read.
constexpr ULONG AsioDefaultSampleType = AsioSampleTypeInt16Lsb;
constexpr ULONG AsioDefaultLatencyIndex = 4;  // 10 ms
constexpr ULONG AsioDefaultSampleRate = 48000;  // Hz

enum class FormatKind : ULONG {
    Pcm = 0,  // rates below 2,822,400 Hz
    Dsd = 1,  // rates from 2,822,400 Hz
};

// ---- Control codes: CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, access) ----
constexpr ULONG AsioControlCode(ULONG Function, ULONG Access) { return (0x1Du << 16) | (Access << 14) | (Function << 2); }
constexpr ULONG AsioAccessRead = 1;   // FILE_READ_ACCESS
constexpr ULONG AsioAccessWrite = 2;  // FILE_WRITE_ACCESS
constexpr ULONG AsioAccessReadWrite = 3;

constexpr ULONG IOCTL_ASIO_GET_DEVICE_NAME = AsioControlCode(0x800, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_GET_CHANNELS = AsioControlCode(0x801, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_INFO = AsioControlCode(0x802, AsioAccessReadWrite);
constexpr ULONG IOCTL_ASIO_GET_BIT_DEPTHS = AsioControlCode(0x803, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_GET_LATENCY_CHOICES = AsioControlCode(0x804, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_SET_NOTIFY_EVENT = AsioControlCode(0x805, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_GET_STATE = AsioControlCode(0x806, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_SET_BIT_DEPTH = AsioControlCode(0x807, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_SET_LATENCY = AsioControlCode(0x808, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_GET_LATENCIES = AsioControlCode(0x809, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = AsioControlCode(0x80A, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = AsioControlCode(0x80B, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = AsioControlCode(0x80C, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = AsioControlCode(0x80D, AsioAccessRead);
constexpr ULONG IOCTL_ASIO_CREATE_BUFFERS = AsioControlCode(0x80E, AsioAccessReadWrite);
constexpr ULONG IOCTL_ASIO_DISPOSE_BUFFERS = AsioControlCode(0x80F, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_START = AsioControlCode(0x810, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_STOP = AsioControlCode(0x811, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_CLEAR_NOTIFY_EVENT = AsioControlCode(0x813, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_CAN_DO_IO_FORMAT = AsioControlCode(0x814, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_SET_IO_FORMAT = AsioControlCode(0x815, AsioAccessWrite);
constexpr ULONG IOCTL_ASIO_GET_IO_FORMAT = AsioControlCode(0x816, AsioAccessRead);
static_assert(IOCTL_ASIO_GET_DEVICE_NAME == 0x1D6000 && IOCTL_ASIO_GET_CHANNEL_INFO == 0x1DE008 &&
              IOCTL_ASIO_SET_NOTIFY_EVENT == 0x1DA014 && IOCTL_ASIO_CREATE_BUFFERS == 0x1DE038 &&
              IOCTL_ASIO_STOP == 0x1DA044 && IOCTL_ASIO_CLEAR_NOTIFY_EVENT == 0x1DA04C &&
              IOCTL_ASIO_GET_IO_FORMAT == 0x1D6058);

// ---- Records ----

// GET_CHANNELS.
struct AsioChannelCounts {
    ULONG Endpoints;
    ULONG Outputs;
    ULONG Inputs;
    ULONG Reserved;  // 0
};
static_assert(sizeof(AsioChannelCounts) == 16 && offsetof(AsioChannelCounts, Inputs) == 8);

// GET_CHANNEL_INFO: the published ASIO channel record.
struct ASIOChannelInfo {
    LONG channel;       // in: within its direction
    LONG isInput;       // in: 0 or 1
    LONG isActive;      // out: 1 while some client owns buffers
    LONG channelGroup;  // out: 0
    LONG type;          // out: the ASIO sample type
    char name[32];      // out: zero-terminated
};
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, type) == 16 &&
              offsetof(ASIOChannelInfo, name) == 20);
// The request part of the record the driver reads: channel and isInput.
constexpr ULONG AsioChannelInfoInputBytes = 8;

// GET_BIT_DEPTHS: selected type, count, then the types.
constexpr ULONG AsioBitDepthsHeaderBytes = 8;

// GET_LATENCY_CHOICES: current index, count, the nine latencies in milliseconds.
constexpr ULONG AsioLatencyCount = 9;
struct AsioLatencyChoices {
    ULONG Index;
    ULONG Count;
    ULONG Milliseconds[AsioLatencyCount];
};
static_assert(sizeof(AsioLatencyChoices) == 44);
constexpr ULONG AsioLatencyMilliseconds[AsioLatencyCount] = {2, 4, 6, 8, 10, 20, 30, 40, 50};

// GET_LATENCIES, in sample frames.
struct AsioLatencies {
    ULONG Input;
    ULONG Output;
};
static_assert(sizeof(AsioLatencies) == 8);

// GET_BUFFER_SIZE, in frames.
struct AsioBufferSizes {
    ULONG Minimum;
    ULONG Maximum;
    ULONG Preferred;
    ULONG Granularity;
};
static_assert(sizeof(AsioBufferSizes) == 16);

// CREATE_BUFFERS input: a header and one entry per requested channel.
struct AsioCreateBuffersHeader {
    ULONG TotalBytes;  // 12 + 8n; not relied on
    ULONG ChannelCount;
    ULONG FramesPerBuffer;  // DSD: the host's size / 64
};
struct AsioBufferChannel {
    ULONG IsInput;  // 0 or 1
    ULONG Channel;  // within its direction
};
static_assert(sizeof(AsioCreateBuffersHeader) == 12 && sizeof(AsioBufferChannel) == 8);

// The header in front of every shared ring's data area. The driver writes every field but the two
// client positions; the library writes those. The driver never reads the header back: its own
// copies of every field it needs stay in kernel memory.
struct SharedRingHeader {
    ULONG active;
    ULONG isInput;
    ULONG channels;
    ULONG firstChannel;
    ULONG dataSize;            // bytes of the data area
    ULONG driverPosition;      // bytes into the data area
    ULONG clientDonePosition;  // library
    ULONG clientDataPosition;  // library
    ULONG signal;
    ULONG periods;
};
static_assert(sizeof(SharedRingHeader) == 40 && offsetof(SharedRingHeader, driverPosition) == 20 &&
              offsetof(SharedRingHeader, clientDonePosition) == 24 && offsetof(SharedRingHeader, signal) == 32 &&
              offsetof(SharedRingHeader, periods) == 36);

// ---- Sample types, format kinds and rates ----

// {0000A5E7-0000-0010-8000-00AA00389B71}: the DSD sub-format of a format record.
DEFINE_GUID(AsioSubtypeDsd, 0x0000A5E7, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

// PCM rates lie below this, DSD rates at or above it (Hz).
constexpr ULONG AsioDsdMinimumRate = 2822400;
// DSD frames per second are the rate / 64; one DSD frame of a channel is 8 bytes.
constexpr ULONG AsioDsdRateDivisor = 64;
constexpr ULONG AsioDsdBytesPerSample = 8;
// Ring data areas hold this much audio.
constexpr ULONG AsioRingMilliseconds = 40;
// A stored or device rate below one frame per millisecond cannot be split into transfers.
constexpr ULONG AsioMinimumPcmRate = 1000;

// Silence of a data area: PCM 0; a DSD ring starts with the DSD idle pattern and STOP leaves the
// other one.
constexpr UCHAR AsioDsdRingFill = 0x69;
constexpr UCHAR AsioDsdStopFill = 0x96;

// The ASIO sample types the driver accepts from SET_BIT_DEPTH and knows how to size.
bool AsioIsKnownSampleType(ULONG SampleType);
// Bytes per sample in a PCM ring (2, 3 or 4); 0 for an unknown type.
ULONG AsioPcmBytesPerSample(ULONG SampleType);
// Container and valid bits of the PCM format record that carries the type; false when unknown.
bool AsioSampleTypeBits(ULONG SampleType, USHORT* ContainerBits, USHORT* ValidBits);
// The ASIO sample type a PCM format record offers, or 0 when its container matches none.
ULONG AsioSampleTypeOfRecord(const WAVEFORMATEXTENSIBLE& Record);
bool AsioIsPcmRecord(const WAVEFORMATEXTENSIBLE& Record);
bool AsioIsDsdRecord(const WAVEFORMATEXTENSIBLE& Record);
// A DSD record carries Rate: nSamplesPerSec = Rate / 16 for 16-bit containers, else Rate /
// container bits / (channels / 2). A record of fewer than two channels or no container never
// carries a rate.
bool AsioDsdRecordCarries(const WAVEFORMATEXTENSIBLE& Record, ULONG Rate);

// Rates suit their kind: PCM below AsioDsdMinimumRate, DSD from it.
bool AsioRateSuitsKind(ULONG Rate, FormatKind Kind);

// ---- Transfer split ----

// How the kind-5 clients ask for transfers: TransferMs per transfer, Chain transfers to cover a
// host buffer, InFlight of them submitted at a time.
struct AsioTransferSplit {
    ULONG TransferMs;
    ULONG Chain;
    ULONG InFlight;
};
// FramesPerMs: rate / 1000 (PCM) or rate / 64000 (DSD), at least 1 (the caller refuses 0).
AsioTransferSplit AsioSplitTransfers(ULONG FramesPerMs, ULONG FramesPerBuffer);
