// The published ASIO driver interface: the IASIO object a host creates through COM, its result
// codes, selectors, sample types and the records passed between host and driver. ASIO's integer
// type is the 32-bit Windows long (LONG here); the x64 layouts are asserted.
#pragma once

#include <win/ntdef.h>
#include <win/unknown.h>

#include <cstddef>

typedef LONG ASIOBool;
typedef LONG ASIOError;
typedef LONG ASIOSampleType;
typedef double ASIOSampleRate;

enum : LONG { ASIOFalse = 0, ASIOTrue = 1 };

// Results.
enum : LONG {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

// Sample types.
enum : LONG {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,
};

// Host messages (asioMessage selectors).
enum : LONG {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
    kAsioMMCCommand = 9,
    kAsioSupportsInputMonitor = 10,
    kAsioSupportsInputGain = 11,
    kAsioSupportsInputMeter = 12,
    kAsioSupportsOutputGain = 13,
    kAsioSupportsOutputMeter = 14,
    kAsioOverload = 15,
};

// Driver extensions (future selectors).
enum : LONG {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioTransport = 4,
    kAsioSetInputGain = 5,
    kAsioGetInputMeter = 6,
    kAsioSetOutputGain = 7,
    kAsioGetOutputMeter = 8,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
    kAsioCanTransport = 12,
    kAsioCanInputGain = 13,
    kAsioCanInputMeter = 14,
    kAsioCanOutputGain = 15,
    kAsioCanOutputMeter = 16,
    kAsioOptionalOne = 17,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
};

// Time-info flags.
enum : ULONG {
    kSystemTimeValid = 1,
    kSamplePositionValid = 2,
    kSampleRateValid = 4,
    kSpeedValid = 8,
    kSampleRateChanged = 16,
    kClockSourceChanged = 32,
};

// I/O formats.
typedef LONG ASIOIoFormatType;
enum : LONG { kASIOFormatInvalid = -1, kASIOPCMFormat = 0, kASIODSDFormat = 1 };

// A 64-bit count as two 32-bit halves.
struct ASIOSamples {
    ULONG hi;
    ULONG lo;
};
typedef ASIOSamples ASIOTimeStamp;
static_assert(sizeof(ASIOSamples) == 8);

struct ASIOClockSource {
    LONG index;
    LONG associatedChannel;
    LONG associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(offsetof(ASIOClockSource, name) == 16);

struct ASIOChannelInfo {
    LONG channel;
    ASIOBool isInput;
    ASIOBool isActive;
    LONG channelGroup;
    ASIOSampleType type;
    char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, type) == 16);
static_assert(offsetof(ASIOChannelInfo, name) == 20);

struct ASIOBufferInfo {
    ASIOBool isInput;
    LONG channelNum;
    void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 24);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    ULONG flags;
    char reserved[12];
};
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24);
static_assert(offsetof(AsioTimeInfo, flags) == 32);

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    ULONG flags;
    char future[64];
};
static_assert(sizeof(ASIOTimeCode) == 88);

struct ASIOTime {
    LONG reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};
static_assert(sizeof(ASIOTime) == 152);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);

struct ASIOCallbacks {
    void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    LONG (*asioMessage)(LONG selector, LONG value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, LONG doubleBufferIndex, ASIOBool directProcess);
};
static_assert(sizeof(ASIOCallbacks) == 32);

struct ASIOIoFormat {
    ASIOIoFormatType FormatType;
    char future[512 - sizeof(ASIOIoFormatType)];
};
static_assert(sizeof(ASIOIoFormat) == 512);

// The driver object. The host asks the driver's class for the interface under the class
// identifier itself, then calls init before anything else.
class IASIO : public IUnknown {
public:
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;  // 32 bytes
    virtual LONG getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;  // 124 bytes
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) = 0;
    virtual ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) = 0;
    virtual ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) = 0;
    virtual ASIOError setClockSource(LONG reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(LONG selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;

protected:
    ~IASIO() = default;
};
