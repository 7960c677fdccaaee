// The kernel driver's private ASIO interface as the library sees it: the interface class, the
// control codes, the request and answer records and the shared ring's header. The driver and the
// library share no code; these are the library's own declarations of the protocol.
#pragma once

#include <win/win32.h>

#include <cstddef>

namespace kv380dasio {

// {B2AA96F0-3543-4B0D-8065-F321D92AD4F8}: the private interface's device interface class.
inline constexpr GUID kAsioInterfaceClass = {0xB2AA96F0, 0x3543, 0x4B0D, {0x80, 0x65, 0xF3, 0x21, 0xD9, 0x2A, 0xD4, 0xF8}};

// CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, access).
constexpr DWORD AsioControlCode(DWORD function, DWORD access) { return (0x1Du << 16) | (access << 14) | (function << 2); }
constexpr DWORD kRead = 1;
constexpr DWORD kWrite = 2;

constexpr DWORD IOCTL_ASIO_GET_DEVICE_NAME = AsioControlCode(0x800, kRead);
constexpr DWORD IOCTL_ASIO_GET_CHANNELS = AsioControlCode(0x801, kRead);
constexpr DWORD IOCTL_ASIO_GET_CHANNEL_INFO = AsioControlCode(0x802, kRead | kWrite);
constexpr DWORD IOCTL_ASIO_GET_BIT_DEPTHS = AsioControlCode(0x803, kRead);
constexpr DWORD IOCTL_ASIO_GET_LATENCY_CHOICES = AsioControlCode(0x804, kRead);
constexpr DWORD IOCTL_ASIO_SET_NOTIFY_EVENT = AsioControlCode(0x805, kWrite);
constexpr DWORD IOCTL_ASIO_GET_STATE = AsioControlCode(0x806, kRead);
constexpr DWORD IOCTL_ASIO_SET_BIT_DEPTH = AsioControlCode(0x807, kWrite);
constexpr DWORD IOCTL_ASIO_SET_LATENCY = AsioControlCode(0x808, kWrite);
constexpr DWORD IOCTL_ASIO_GET_LATENCIES = AsioControlCode(0x809, kRead);
constexpr DWORD IOCTL_ASIO_GET_SAMPLE_RATE = AsioControlCode(0x80A, kRead);
constexpr DWORD IOCTL_ASIO_CAN_SAMPLE_RATE = AsioControlCode(0x80B, kWrite);
constexpr DWORD IOCTL_ASIO_SET_SAMPLE_RATE = AsioControlCode(0x80C, kWrite);
constexpr DWORD IOCTL_ASIO_GET_BUFFER_SIZE = AsioControlCode(0x80D, kRead);
constexpr DWORD IOCTL_ASIO_CREATE_BUFFERS = AsioControlCode(0x80E, kRead | kWrite);
constexpr DWORD IOCTL_ASIO_DISPOSE_BUFFERS = AsioControlCode(0x80F, kWrite);
constexpr DWORD IOCTL_ASIO_START = AsioControlCode(0x810, kWrite);
constexpr DWORD IOCTL_ASIO_STOP = AsioControlCode(0x811, kWrite);
constexpr DWORD IOCTL_ASIO_CLEAR_NOTIFY_EVENT = AsioControlCode(0x813, kWrite);
constexpr DWORD IOCTL_ASIO_CAN_DO_IO_FORMAT = AsioControlCode(0x814, kWrite);
constexpr DWORD IOCTL_ASIO_SET_IO_FORMAT = AsioControlCode(0x815, kWrite);
constexpr DWORD IOCTL_ASIO_GET_IO_FORMAT = AsioControlCode(0x816, kRead);
static_assert(IOCTL_ASIO_GET_DEVICE_NAME == 0x1D6000);
static_assert(IOCTL_ASIO_GET_CHANNEL_INFO == 0x1DE008);
static_assert(IOCTL_ASIO_SET_NOTIFY_EVENT == 0x1DA014);
static_assert(IOCTL_ASIO_CREATE_BUFFERS == 0x1DE038);
static_assert(IOCTL_ASIO_GET_IO_FORMAT == 0x1D6058);

// GET_CHANNELS answer.
struct ChannelCounts {
    ULONG endpoints;
    ULONG outputs;
    ULONG inputs;
    ULONG reserved;
};
static_assert(sizeof(ChannelCounts) == 16);

// GET_BIT_DEPTHS answer: the selected type, the count, then the types.
struct SampleTypeListHeader {
    ULONG selected;
    ULONG count;
};
static_assert(sizeof(SampleTypeListHeader) == 8);

// GET_LATENCY_CHOICES answer: 9 latencies in milliseconds.
struct LatencyChoices {
    ULONG currentIndex;
    ULONG count;
    ULONG milliseconds[9];
};
static_assert(sizeof(LatencyChoices) == 44);

struct Latencies {
    ULONG input;  // frames
    ULONG output;
};
static_assert(sizeof(Latencies) == 8);

struct BufferSizes {
    ULONG minimum;  // frames
    ULONG maximum;
    ULONG preferred;
    ULONG granularity;
};
static_assert(sizeof(BufferSizes) == 16);

// CREATE_BUFFERS request: a header and one entry per channel the host asked for.
struct CreateBuffersHeader {
    ULONG totalSize;  // bytes, 12 + 8n
    ULONG count;
    ULONG frames;     // units per half buffer
};
struct CreateBuffersEntry {
    ULONG isInput;
    ULONG channelNum;
};
static_assert(sizeof(CreateBuffersHeader) == 12);
static_assert(sizeof(CreateBuffersEntry) == 8);

// The header of a shared ring; the data area follows it.
struct SharedRingHeader {
    volatile ULONG active;
    volatile ULONG isInput;
    volatile ULONG channels;
    volatile ULONG firstChannel;
    volatile ULONG dataSize;            // bytes
    volatile ULONG driverPosition;      // bytes, written by the driver
    volatile ULONG clientDonePosition;  // bytes, written by the library
    volatile ULONG clientDataPosition;  // bytes, written by the library
    volatile ULONG signal;
    volatile ULONG periods;
};
static_assert(sizeof(SharedRingHeader) == 40);
static_assert(offsetof(SharedRingHeader, driverPosition) == 20);
static_assert(offsetof(SharedRingHeader, signal) == 32);

inline BYTE* RingData(SharedRingHeader* ring) { return reinterpret_cast<BYTE*>(ring) + sizeof(SharedRingHeader); }

enum FormatKind : ULONG { kFormatPcm = 0, kFormatDsd = 1 };

// Rates from this one on are DSD bit rates.
constexpr ULONG kFirstDsdRate = 2'822'400;

}  // namespace kv380dasio
