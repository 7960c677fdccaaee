// The device client: requests of the private interface, the worker thread and the buffers.
#include "AsioDevice.h"

#include <cstring>

namespace kv380dasio {

namespace {

constexpr ULONG kDsdUnitSamples = 64;  // one-bit samples in one 8-byte DSD unit
constexpr ULONG kPreloadMilliseconds = 40;

void* Allocate(size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }
void Free(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void CloseIfOpen(HANDLE* handle) {
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

// Bytes of one ring unit for a sample type.
ULONG BytesOfType(LONG type) {
    switch (type) {
        case ASIOSTInt24LSB:
            return 3;
        case ASIOSTInt32LSB:
        case ASIOSTInt32LSB16:
        case ASIOSTInt32LSB18:
        case ASIOSTInt32LSB20:
        case ASIOSTInt32LSB24:
            return 4;
        case ASIOSTDSDInt8MSB1:
            return 8;
        default:
            return 2;
    }
}

}  // namespace

CAsioDevice::CAsioDevice() {
    InitializeCriticalSection(&m_section);
    InitializeCriticalSection(&m_streamGuard);
    m_switcher.SetCallGuard(&m_streamGuard);
}

CAsioDevice::~CAsioDevice() {
    CloseDevice();
    FreeChannels();
    DeleteCriticalSection(&m_streamGuard);
    DeleteCriticalSection(&m_section);
}

bool CAsioDevice::Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(m_device, code, const_cast<void*>(in), inSize, out, outSize, &bytes, nullptr);
    if (returned != nullptr) *returned = bytes;
    return ok != FALSE;
}

ULONG CAsioDevice::SizeQuery(DWORD code) {
    DWORD bytes = 0;
    if (Request(code, nullptr, 0, nullptr, 0, &bytes) || GetLastError() == ERROR_MORE_DATA) return bytes;
    return 0;
}

ULONG CAsioDevice::TwoCallQuery(DWORD code, void* buffer, ULONG size) {
    ULONG needed = SizeQuery(code);
    if (buffer == nullptr && size == 0) return needed;
    if (buffer == nullptr || needed == 0 || size < needed) return 0;
    DWORD bytes = 0;
    return Request(code, nullptr, 0, buffer, needed, &bytes) ? bytes : 0;
}

bool CAsioDevice::OpenDevice(const char* path) {
    if (path == nullptr || m_device != nullptr) return false;
    size_t length = std::strlen(path);
    m_path = static_cast<char*>(Allocate(length + 1));
    if (m_path == nullptr) return false;
    std::memcpy(m_path, path, length + 1);
    m_device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_device == nullptr || m_device == INVALID_HANDLE_VALUE) {
        m_device = nullptr;
        CloseDevice();
        return false;
    }
    bool ok = [&] {
        ChannelCounts counts{};
        if (!Request(IOCTL_ASIO_GET_CHANNELS, nullptr, 0, &counts, sizeof(counts))) return false;
        m_ringCount = counts.endpoints;
        m_outputChannels = counts.outputs;
        m_inputChannels = counts.inputs;
        if (!Request(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &m_sampleRate, sizeof(m_sampleRate))) return false;
        m_switcher.SetSampleRate(m_sampleRate);

        ULONG listSize = SizeQuery(IOCTL_ASIO_GET_BIT_DEPTHS);
        if (listSize < sizeof(SampleTypeListHeader)) return false;
        auto* list = static_cast<SampleTypeListHeader*>(Allocate(listSize));
        if (list == nullptr) return false;
        bool listed = QueryBitDepths(list, listSize) != 0;
        if (listed) {
            ULONG bytes = BytesOfType(static_cast<LONG>(list->selected));
            m_bytesPerSample = bytes == 8 ? 2 : bytes;  // the list holds PCM types only
        }
        Free(list);
        if (!listed) return false;

        // A new client is PCM; a DSD format or a DSD rate left behind by another client goes back
        // to PCM at a PCM rate, so PCM hosts never see it.
        ASIOIoFormat format{};
        if (Request(IOCTL_ASIO_GET_IO_FORMAT, nullptr, 0, &format, sizeof(format.FormatType))) {
            m_dsdFlag = static_cast<ULONG>(format.FormatType);
        }
        if (m_dsdFlag != kFormatPcm || m_sampleRate >= kFirstDsdRate) ReturnToPcm();

        if (m_ringCount != 0) {
            m_rings = static_cast<SharedRingHeader**>(Allocate(sizeof(SharedRingHeader*) * m_ringCount));
            if (m_rings == nullptr) return false;
        }
        m_threadEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_threadEnded == nullptr) return false;
        m_exitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_exitEvent == nullptr) return false;
        m_bufferEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (m_bufferEvent == nullptr) return false;
        m_notifyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (m_notifyEvent == nullptr) return false;
        m_worker = CreateThread(nullptr, 0, AsioWorkerThread, this, 0, nullptr);
        if (m_worker == nullptr) return false;
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(m_notifyEvent);
        if (!Request(IOCTL_ASIO_SET_NOTIFY_EVENT, &handle, HandleBytes(), nullptr, 0)) return false;
        return SetThreadPriority(m_worker, THREAD_PRIORITY_TIME_CRITICAL) != FALSE;
    }();
    if (!ok) CloseDevice();  // nothing of a failed open stays: no handle, thread or notify event
    return ok;
}

// A handle travels in the bytes of the caller's bitness: 4 from a 32-bit process, 8 from a 64-bit
// one (little-endian, so the low half comes first either way).
DWORD CAsioDevice::HandleBytes() { return sizeof(void*); }

void CAsioDevice::ReturnToPcm() {
    ULONG pcm = kFormatPcm;
    if (Request(IOCTL_ASIO_SET_IO_FORMAT, &pcm, sizeof(pcm), nullptr, 0)) m_dsdFlag = kFormatPcm;
    if (m_sampleRate == 44'100) return;
    ULONG rate = 44'100;
    if (Request(IOCTL_ASIO_SET_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0)) {
        m_switcher.MarkSampleRateChanged();
        m_sampleRate = rate;
        m_switcher.SetSampleRate(rate);
    } else {
        SetDeviceSampleRate(48'000);
    }
}

void CAsioDevice::StopWorker() {
    if (m_worker == nullptr) return;
    SetEvent(m_exitEvent);
    WaitForSingleObject(m_threadEnded, INFINITE);
    WaitForSingleObject(m_worker, INFINITE);  // the thread has returned, not only signalled
    CloseIfOpen(&m_worker);
    Request(IOCTL_ASIO_CLEAR_NOTIFY_EVENT, nullptr, 0, nullptr, 0);
}

void CAsioDevice::CloseEvents() {
    CloseIfOpen(&m_threadEnded);
    CloseIfOpen(&m_exitEvent);
    CloseIfOpen(&m_bufferEvent);
    CloseIfOpen(&m_notifyEvent);
}

void CAsioDevice::CloseDevice() {
    StopWorker();
    CloseEvents();
    CloseIfOpen(&m_device);
    Free(m_path);
    m_path = nullptr;
    Free(m_rings);
    m_rings = nullptr;
    m_switcher.SetRings(nullptr, 0);
}

DWORD WINAPI CAsioDevice::AsioWorkerThread(LPVOID parameter) {
    static_cast<CAsioDevice*>(parameter)->WorkerLoop();
    return 0;
}

void CAsioDevice::WorkerLoop() {
    const HANDLE events[3] = {m_bufferEvent, m_exitEvent, m_notifyEvent};
    for (;;) {
        DWORD result = WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            EnterCriticalSection(&m_streamGuard);
            if (m_running) m_switcher.Switch();
            LeaveCriticalSection(&m_streamGuard);
        } else if (result == WAIT_OBJECT_0 + 1) {
            break;
        } else if (result == WAIT_OBJECT_0 + 2) {
            OnNotify();
        }
    }
    SetEvent(m_threadEnded);
}

void CAsioDevice::OnNotify() {
    // What the host is told is taken under the guard; the host is called without it (see
    // BufferSwitcher::CallHost), so that a stop never waits for the host.
    EnterCriticalSection(&m_streamGuard);
    const ASIOCallbacks* callbacks = m_callbacks;
    const bool rateChanged = callbacks != nullptr && callbacks->sampleRateDidChange != nullptr &&
                             (m_switcher.TimeInfo().timeInfo.flags & kSampleRateChanged) != 0;
    if (rateChanged) m_switcher.TakeSampleRateChanged();
    if (rateChanged) {
        LeaveCriticalSection(&m_streamGuard);
        callbacks->sampleRateDidChange(static_cast<double>(m_sampleRate));
        EnterCriticalSection(&m_streamGuard);
    }
    m_switcher.CallHost(kAsioResetRequest);
    LeaveCriticalSection(&m_streamGuard);
    EnterCriticalSection(&m_section);
    if (m_panelEvent != nullptr) SetEvent(m_panelEvent);
    LeaveCriticalSection(&m_section);
}

bool CAsioDevice::QueryChannels(ULONG* inputs, ULONG* outputs) {
    ChannelCounts counts{};
    if (!Request(IOCTL_ASIO_GET_CHANNELS, nullptr, 0, &counts, sizeof(counts))) return false;
    if (m_rings == nullptr) m_ringCount = counts.endpoints;  // the ring table keeps its size once allocated
    m_inputChannels = counts.inputs;
    m_outputChannels = counts.outputs;
    if (inputs != nullptr) *inputs = counts.inputs;
    if (outputs != nullptr) *outputs = counts.outputs;
    return true;
}

bool CAsioDevice::QueryChannelInfo(ASIOChannelInfo* info) {
    if (info == nullptr) return false;
    ASIOChannelInfo request{};
    request.channel = info->channel;
    request.isInput = info->isInput;
    if (!Request(IOCTL_ASIO_GET_CHANNEL_INFO, &request, sizeof(request), &request, sizeof(request))) return false;
    info->isActive = request.isActive;
    info->channelGroup = request.channelGroup;
    info->type = request.type >= ASIOSTInt32LSB16 && request.type <= ASIOSTInt32LSB24 ? ASIOSTInt32LSB : request.type;
    std::memcpy(info->name, request.name, sizeof(info->name));
    info->name[sizeof(info->name) - 1] = '\0';
    m_bytesPerSample = BytesOfType(info->type);
    return true;
}

ULONG CAsioDevice::QueryBitDepths(void* buffer, ULONG size) { return TwoCallQuery(IOCTL_ASIO_GET_BIT_DEPTHS, buffer, size); }

ULONG CAsioDevice::QueryLatencyChoices(void* buffer, ULONG size) {
    return TwoCallQuery(IOCTL_ASIO_GET_LATENCY_CHOICES, buffer, size);
}

bool CAsioDevice::QueryDeviceName(char* buffer, ULONG* size) {
    if (size == nullptr) return false;
    if (*size == 0) {
        DWORD bytes = 0;
        if (Request(IOCTL_ASIO_GET_DEVICE_NAME, nullptr, 0, nullptr, 0, &bytes) || GetLastError() == ERROR_MORE_DATA) {
            *size = bytes;
            return true;
        }
        return false;
    }
    if (buffer == nullptr) return false;
    DWORD bytes = 0;
    bool ok = Request(IOCTL_ASIO_GET_DEVICE_NAME, nullptr, 0, buffer, *size, &bytes);
    *size = bytes;
    return ok;
}

bool CAsioDevice::QueryLatencies(Latencies* latencies) {
    return latencies != nullptr && Request(IOCTL_ASIO_GET_LATENCIES, nullptr, 0, latencies, sizeof(*latencies));
}

bool CAsioDevice::QuerySampleRate(ULONG* rate) {
    if (rate == nullptr || !Request(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, rate, sizeof(*rate))) return false;
    m_sampleRate = *rate;
    return true;
}

bool CAsioDevice::QueryBufferSize(BufferSizes* sizes) {
    return sizes != nullptr && Request(IOCTL_ASIO_GET_BUFFER_SIZE, nullptr, 0, sizes, sizeof(*sizes));
}

bool CAsioDevice::CheckSampleRate(ULONG rate) { return Request(IOCTL_ASIO_CAN_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0); }

bool CAsioDevice::SetDeviceSampleRate(ULONG rate) {
    if (rate == m_sampleRate) return true;
    if (!Request(IOCTL_ASIO_SET_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0)) return false;
    m_switcher.MarkSampleRateChanged();
    m_sampleRate = rate;
    m_switcher.SetSampleRate(rate);
    return true;
}

bool CAsioDevice::SendBitDepth(ULONG sampleType) {
    return Request(IOCTL_ASIO_SET_BIT_DEPTH, &sampleType, sizeof(sampleType), nullptr, 0);
}

bool CAsioDevice::SendLatency(ULONG latencyIndex) {
    return Request(IOCTL_ASIO_SET_LATENCY, &latencyIndex, sizeof(latencyIndex), nullptr, 0);
}

bool CAsioDevice::HandleIoFormat(LONG selector, ASIOIoFormat* format) {
    if (selector == kAsioCanTimeInfo) return true;
    if (format == nullptr) return false;
    ULONG kind = static_cast<ULONG>(format->FormatType);
    switch (selector) {
        case kAsioSetIoFormat:
            if (!Request(IOCTL_ASIO_SET_IO_FORMAT, &kind, sizeof(kind), nullptr, 0)) return false;
            m_dsdFlag = kind;
            return true;
        case kAsioGetIoFormat: {
            ASIOIoFormat answer{};
            if (!Request(IOCTL_ASIO_GET_IO_FORMAT, nullptr, 0, &answer, sizeof(answer.FormatType))) return false;
            *format = answer;
            m_dsdFlag = static_cast<ULONG>(answer.FormatType);
            return true;
        }
        case kAsioCanDoIoFormat:
            return Request(IOCTL_ASIO_CAN_DO_IO_FORMAT, &kind, sizeof(kind), nullptr, 0);
        default:
            return false;
    }
}

void CAsioDevice::FreeChannels() {
    for (ULONG c = 0; m_blocks != nullptr && c < 2 * m_channelCount; ++c) Free(m_blocks[c]);
    Free(m_blocks);
    Free(m_channels);
    m_blocks = nullptr;
    m_channels = nullptr;
    m_channelCount = 0;
    m_switcher.SetChannels(nullptr, 0, 0, m_bytesPerSample, false);
}

ASIOError CAsioDevice::CreateDeviceBuffers(ASIOBufferInfo* infos, LONG count, LONG bufferSize,
                                           ASIOCallbacks* callbacks) {
    if (infos == nullptr || callbacks == nullptr || count <= 0) return ASE_InvalidParameter;
    if (m_callbacks != nullptr || m_channels != nullptr) return ASE_InvalidMode;
    // The rings carry the client's active type: its size comes from the driver, not from a
    // getChannelInfo the host may have skipped.
    ASIOChannelInfo info{};
    info.channel = infos[0].channelNum;
    info.isInput = infos[0].isInput;
    if (!QueryChannelInfo(&info)) return ASE_NoMemory;
    const bool dsd = info.type == ASIOSTDSDInt8MSB1;
    const ULONG w = m_bytesPerSample;
    if (bufferSize <= 0 || (dsd && bufferSize < static_cast<LONG>(kDsdUnitSamples))) return ASE_InvalidMode;
    const ULONG n = dsd ? static_cast<ULONG>(bufferSize) / kDsdUnitSamples : static_cast<ULONG>(bufferSize);
    const size_t doubleBytes = static_cast<size_t>(2) * n * w;

    const ULONG requestSize = sizeof(CreateBuffersHeader) + sizeof(CreateBuffersEntry) * static_cast<ULONG>(count);
    auto* request = static_cast<BYTE*>(Allocate(requestSize));
    if (request == nullptr) return ASE_NoMemory;
    auto* header = reinterpret_cast<CreateBuffersHeader*>(request);
    auto* entries = reinterpret_cast<CreateBuffersEntry*>(request + sizeof(CreateBuffersHeader));
    *header = CreateBuffersHeader{.totalSize = requestSize, .count = static_cast<ULONG>(count), .frames = n};
    m_channels = static_cast<ChannelBuffer*>(Allocate(sizeof(ChannelBuffer) * static_cast<size_t>(count)));
    m_blocks = static_cast<BYTE**>(Allocate(sizeof(BYTE*) * 2 * static_cast<size_t>(count)));
    m_channelCount = static_cast<ULONG>(count);
    bool ok = m_channels != nullptr && m_blocks != nullptr;
    for (LONG c = 0; ok && c < count; ++c) {
        entries[c] = CreateBuffersEntry{.isInput = infos[c].isInput != 0 ? 1u : 0u,
                                        .channelNum = static_cast<ULONG>(infos[c].channelNum)};
        m_blocks[2 * c] = static_cast<BYTE*>(Allocate(doubleBytes));
        m_blocks[2 * c + 1] = static_cast<BYTE*>(Allocate(doubleBytes));
        ok = m_blocks[2 * c] != nullptr && m_blocks[2 * c + 1] != nullptr;
    }
    if (ok && m_ringCount != 0) {
        ok = Request(IOCTL_ASIO_CREATE_BUFFERS, request, requestSize, m_rings,
                     static_cast<DWORD>(sizeof(SharedRingHeader*) * m_ringCount));
    }
    Free(request);
    if (!ok || m_ringCount == 0) {
        FreeChannels();  // a failed create leaves no table for a retry to overwrite
        return ASE_NoMemory;
    }
    for (LONG c = 0; c < count; ++c) {
        ChannelBuffer& channel = m_channels[c];
        channel.isInput = infos[c].isInput != 0 ? 1u : 0u;
        channel.host[0] = m_blocks[2 * c];
        channel.host[1] = m_blocks[2 * c] + static_cast<size_t>(n) * w;
        channel.staging = m_blocks[2 * c + 1];
        ULONG number = static_cast<ULONG>(infos[c].channelNum);
        for (ULONG r = 0; r < m_ringCount; ++r) {
            SharedRingHeader* ring = m_rings[r];
            if (ring == nullptr || ring->isInput != channel.isInput) continue;
            if (number >= ring->firstChannel && number - ring->firstChannel < ring->channels) {
                channel.ringIndex = r;
                channel.channelOffset = number - ring->firstChannel;
                break;
            }
        }
        infos[c].buffers[0] = channel.host[0];
        infos[c].buffers[1] = channel.host[1];
    }
    bool timeInfo = false;
    if (callbacks->asioMessage != nullptr && callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) >= 2 &&
        callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1) {
        timeInfo = true;
        m_switcher.ResetTimeInfo();
        m_switcher.SetSampleRate(m_sampleRate);
    }
    EnterCriticalSection(&m_streamGuard);
    m_switcher.SetRings(m_rings, m_ringCount);
    m_switcher.SetChannels(m_channels, m_channelCount, n, w, dsd);
    m_switcher.SetCallbacks(callbacks, timeInfo);
    m_callbacks = callbacks;
    LeaveCriticalSection(&m_streamGuard);
    return ASE_OK;
}

bool CAsioDevice::DisposeDeviceBuffers() {
    // The rings and callbacks are let go before the driver unmaps the rings: no worker turn
    // starts on them, and a host call in progress ends before the buffers it has are freed.
    EnterCriticalSection(&m_streamGuard);
    m_running = false;
    m_switcher.Halt();
    m_callbacks = nullptr;
    m_switcher.SetCallbacks(nullptr, false);
    LeaveCriticalSection(&m_streamGuard);
    while (m_switcher.HostCalls() != 0) Sleep(1);
    EnterCriticalSection(&m_streamGuard);
    FreeChannels();
    m_switcher.SetRings(nullptr, 0);
    if (m_rings != nullptr) std::memset(m_rings, 0, sizeof(SharedRingHeader*) * m_ringCount);
    LeaveCriticalSection(&m_streamGuard);
    return Request(IOCTL_ASIO_DISPOSE_BUFFERS, nullptr, 0, nullptr, 0);
}

bool CAsioDevice::StartStreaming() {
    if (m_callbacks == nullptr) return false;
    const ULONG preload = m_dsdFlag != kFormatPcm ? 0xFFFFFFFFu : m_sampleRate / 1000 * kPreloadMilliseconds;
    // The worker waits on the guard from the preload until the render positions follow the
    // driver's: a buffer event that comes meanwhile finds them aligned, however late this thread
    // runs after START. A start while running touches nothing.
    EnterCriticalSection(&m_streamGuard);
    if (m_running) {
        LeaveCriticalSection(&m_streamGuard);
        return true;
    }
    m_switcher.PrepareStart(preload);
    ULONGLONG handle = reinterpret_cast<ULONG_PTR>(m_bufferEvent);
    const bool ok = Request(IOCTL_ASIO_START, &handle, HandleBytes(), nullptr, 0);
    if (ok) {
        if (m_startHook != nullptr) m_startHook();
        m_switcher.AlignRenderPositions();
        m_running = true;
    }
    LeaveCriticalSection(&m_streamGuard);
    return ok;
}

bool CAsioDevice::StopStreaming() {
    bool ok = Request(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0);
    // A turn in progress goes no further than the host call it may be in; stop does not wait for
    // the host.
    EnterCriticalSection(&m_streamGuard);
    m_running = false;
    m_switcher.Halt();
    LeaveCriticalSection(&m_streamGuard);
    ResetEvent(m_bufferEvent);
    return ok;
}

bool CAsioDevice::ReadSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp) {
    ULONGLONG samples = m_switcher.SamplePosition();
    ULONGLONG ns = m_switcher.TimeStamp();
    if (position != nullptr) *position = ASIOSamples{.hi = static_cast<ULONG>(samples >> 32), .lo = static_cast<ULONG>(samples)};
    if (stamp != nullptr) *stamp = ASIOTimeStamp{.hi = static_cast<ULONG>(ns >> 32), .lo = static_cast<ULONG>(ns)};
    return true;
}

void CAsioDevice::SignalNotify() { SetEvent(m_notifyEvent); }

bool CAsioDevice::RegisterPanelEvent(HANDLE event) {
    EnterCriticalSection(&m_section);
    bool registered = m_panelEvent == nullptr;
    if (registered) m_panelEvent = event;
    LeaveCriticalSection(&m_section);
    return registered;
}

bool CAsioDevice::UnregisterPanelEvent() {
    EnterCriticalSection(&m_section);
    m_panelEvent = nullptr;
    LeaveCriticalSection(&m_section);
    return true;
}

}  // namespace kv380dasio
