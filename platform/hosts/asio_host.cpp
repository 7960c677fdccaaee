// The ASIO host application (see sim/asio_host.h).
#include <sim/asio_host.h>

#include <cstring>

namespace sim::hosts {

namespace {

AsioHost* g_active = nullptr;  // the host the driver's callbacks reach

LONG BytesOf(LONG type) {
    switch (type) {
        case ASIOSTInt16LSB:
            return 2;
        case ASIOSTInt24LSB:
            return 3;
        case ASIOSTDSDInt8MSB1:
            return 1;  // bytes of 8 one-bit samples
        default:
            return 4;
    }
}

void WriteSample(BYTE* to, LONG type, int32_t value) {
    uint32_t bits = static_cast<uint32_t>(value);
    switch (type) {
        case ASIOSTInt16LSB:
            bits >>= 16;
            std::memcpy(to, &bits, 2);
            break;
        case ASIOSTInt24LSB:
            bits >>= 8;
            std::memcpy(to, &bits, 3);
            break;
        case ASIOSTDSDInt8MSB1:
            *to = 0x69;
            break;
        default:
            std::memcpy(to, &bits, 4);
            break;
    }
}

int32_t ReadSample(const BYTE* from, LONG type) {
    uint32_t bits = 0;
    switch (type) {
        case ASIOSTInt16LSB:
            std::memcpy(&bits, from, 2);
            return static_cast<int32_t>(bits << 16);
        case ASIOSTInt24LSB:
            std::memcpy(&bits, from, 3);
            return static_cast<int32_t>(bits << 8);
        case ASIOSTDSDInt8MSB1:
            return from[0];
        default:
            std::memcpy(&bits, from, 4);
            return static_cast<int32_t>(bits);
    }
}

bool ParseClsid(const char* text, CLSID* clsid) {
    OLECHAR wide[39] = {};
    for (int i = 0; i < 38 && text[i] != '\0'; ++i) wide[i] = static_cast<OLECHAR>(text[i]);
    return SUCCEEDED(CLSIDFromString(wide, clsid));
}

}  // namespace

int32_t RampValue(uint32_t channel, uint64_t frame) {
    return static_cast<int32_t>(static_cast<uint32_t>((frame + channel * 4096u) & 0xFFFF) << 16);
}

std::vector<AsioDriverEntry> RegisteredAsioDrivers() {
    std::vector<AsioDriverEntry> drivers;
    HKEY asio = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", &asio) != ERROR_SUCCESS) return drivers;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(asio, index, name, sizeof(name)) == ERROR_SUCCESS; ++index) {
        HKEY key = nullptr;
        if (RegOpenKeyA(asio, name, &key) != ERROR_SUCCESS) continue;
        AsioDriverEntry entry;
        entry.name = name;
        char text[256] = {};
        DWORD size = sizeof(text) - 1;
        if (RegQueryValueExA(key, "CLSID", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS) {
            entry.clsidText = text;
        }
        std::memset(text, 0, sizeof(text));
        size = sizeof(text) - 1;
        if (RegQueryValueExA(key, "Description", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS) {
            entry.description = text;
        }
        RegCloseKey(key);
        if (ParseClsid(entry.clsidText.c_str(), &entry.clsid)) drivers.push_back(entry);
    }
    RegCloseKey(asio);
    return drivers;
}

AsioHost::AsioHost() {
    m_callbacks.bufferSwitch = BufferSwitch;
    m_callbacks.sampleRateDidChange = SampleRateDidChange;
    m_callbacks.asioMessage = AsioMessage;
    m_callbacks.bufferSwitchTimeInfo = BufferSwitchTimeInfo;
    g_active = this;
    CoInitialize(nullptr);
}

AsioHost::~AsioHost() {
    Unload();
    CoUninitialize();
    if (g_active == this) g_active = nullptr;
}

HRESULT AsioHost::Load(const CLSID& clsid) {
    if (m_driver != nullptr) return E_FAIL;
    m_clsid = clsid;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&m_driver));
}

void AsioHost::Unload() {
    if (m_driver == nullptr) return;
    if (m_running) m_driver->stop();
    if (m_buffers) m_driver->disposeBuffers();
    m_running = false;
    m_buffers = false;
    m_driver->Release();
    m_driver = nullptr;
    CoFreeUnusedLibraries();
}

ASIOError AsioHost::Setup(const AsioHostOptions& options) {
    if (m_driver == nullptr) return ASE_NotPresent;
    m_options = options;
    if (m_driver->init(nullptr) != ASIOTrue) return ASE_NotPresent;
    char name[32] = {};
    m_driver->getDriverName(name);
    m_driverName = name;
    LONG inputs = 0, outputs = 0;
    ASIOError result = m_driver->getChannels(&inputs, &outputs);
    if (result != ASE_OK) return result;
    if (options.sampleRate != 0) {
        result = m_driver->setSampleRate(options.sampleRate);
        if (result != ASE_OK) return result;
    }
    m_driver->getSampleRate(&m_sampleRate);
    m_driver->getBufferSize(&m_minSize, &m_maxSize, &m_preferredSize, &m_granularity);
    m_bufferFrames = options.bufferFrames != 0 ? options.bufferFrames : m_preferredSize;
    m_inputs.clear();
    m_outputs.clear();
    m_bufferInfos.clear();
    for (int isInput = 1; isInput >= 0; --isInput) {
        LONG count = isInput != 0 ? (options.allInputs ? inputs : 0) : (options.allOutputs ? outputs : 0);
        for (LONG c = 0; c < count; ++c) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = isInput;
            result = m_driver->getChannelInfo(&info);
            if (result != ASE_OK) return result;
            (isInput != 0 ? m_inputs : m_outputs).push_back(info);
            m_bufferInfos.push_back(ASIOBufferInfo{.isInput = isInput, .channelNum = c, .buffers = {}});
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_recordLock);
        m_recorded.assign(m_inputs.size(), {});
    }
    m_renderFrame = 0;
    m_lastIndex = -1;
    result = m_driver->createBuffers(m_bufferInfos.data(), static_cast<LONG>(m_bufferInfos.size()), m_bufferFrames,
                                     &m_callbacks);
    if (result != ASE_OK) return result;
    m_buffers = true;
    m_driver->getLatencies(&m_inputLatency, &m_outputLatency);
    return ASE_OK;
}

ASIOError AsioHost::Start() {
    if (m_driver == nullptr) return ASE_NotPresent;
    m_lastPosition = 0;
    m_lastIndex = -1;
    ASIOError result = m_driver->start();
    m_running = result == ASE_OK;
    return result;
}

ASIOError AsioHost::Stop() {
    if (m_driver == nullptr) return ASE_NotPresent;
    m_running = false;
    return m_driver->stop();
}

ASIOError AsioHost::Dispose() {
    if (m_driver == nullptr) return ASE_NotPresent;
    m_buffers = false;
    return m_driver->disposeBuffers();
}

ASIOError AsioHost::Reload() {
    bool wasRunning = m_running;
    m_resetsServed = m_resetRequests.load();
    Unload();
    if (FAILED(Load(m_clsid))) return ASE_NotPresent;
    ASIOError result = Setup(m_options);
    if (result == ASE_OK && wasRunning) result = Start();
    return result;
}

std::vector<std::vector<int32_t>> AsioHost::Recorded() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_recorded;
}

void AsioHost::OnSwitch(LONG index, const ASIOTime* time) {
    if (m_lastIndex >= 0 && index == m_lastIndex) m_indicesAlternate = false;
    m_lastIndex = index;
    ++m_switches;
    if (time != nullptr) {
        m_usedTimeInfo = true;
        m_flagsSeen = m_flagsSeen.load() | time->timeInfo.flags;
        uint64_t position = (static_cast<uint64_t>(time->timeInfo.samplePosition.hi) << 32) | time->timeInfo.samplePosition.lo;
        if (position != m_lastPosition.load() + static_cast<uint64_t>(m_bufferFrames)) m_positionsGrew = false;
        m_lastPosition = position;
    } else {
        ASIOSamples samples{};
        ASIOTimeStamp stamp{};
        if (m_driver != nullptr && m_driver->getSamplePosition(&samples, &stamp) == ASE_OK) {
            uint64_t position = (static_cast<uint64_t>(samples.hi) << 32) | samples.lo;
            if (position != m_lastPosition.load() + static_cast<uint64_t>(m_bufferFrames)) m_positionsGrew = false;
            m_lastPosition = position;
        }
    }
    size_t inputIndex = 0, outputIndex = 0;
    std::lock_guard<std::mutex> guard(m_recordLock);
    for (const ASIOBufferInfo& info : m_bufferInfos) {
        auto* half = static_cast<BYTE*>(info.buffers[index]);
        if (info.isInput != 0) {
            LONG type = m_inputs[inputIndex].type;
            LONG bytes = BytesOf(type);
            auto& record = m_recorded[inputIndex++];
            for (LONG f = 0; f < (type == ASIOSTDSDInt8MSB1 ? m_bufferFrames / 8 : m_bufferFrames); ++f) {
                record.push_back(ReadSample(half + f * bytes, type));
            }
        } else {
            LONG type = m_outputs[outputIndex].type;
            LONG bytes = BytesOf(type);
            uint32_t channel = static_cast<uint32_t>(outputIndex++);
            for (LONG f = 0; f < (type == ASIOSTDSDInt8MSB1 ? m_bufferFrames / 8 : m_bufferFrames); ++f) {
                uint64_t frame = m_renderFrame + static_cast<uint64_t>(f);
                int32_t value = m_options.source ? m_options.source(channel, frame) : RampValue(channel, frame);
                WriteSample(half + f * bytes, type, value);
            }
        }
    }
    m_renderFrame += static_cast<uint64_t>(m_bufferFrames);
    if (m_hook) m_hook(index);
}

void AsioHost::BufferSwitch(LONG index, ASIOBool direct) {
    UNREFERENCED_PARAMETER(direct);
    if (g_active != nullptr) g_active->OnSwitch(index, nullptr);
}

ASIOTime* AsioHost::BufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool direct) {
    UNREFERENCED_PARAMETER(direct);
    if (g_active != nullptr) g_active->OnSwitch(index, time);
    return nullptr;
}

void AsioHost::SampleRateDidChange(ASIOSampleRate rate) {
    if (g_active == nullptr) return;
    ++g_active->m_rateChanges;
    g_active->m_lastRate = rate;
}

LONG AsioHost::AsioMessage(LONG selector, LONG value, void* message, double* opt) {
    UNREFERENCED_PARAMETER(message);
    UNREFERENCED_PARAMETER(opt);
    if (g_active == nullptr) return 0;
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioSupportsTimeInfo ? 1 : 0;
        case kAsioEngineVersion:
            return g_active->m_options.engineVersion;
        case kAsioResetRequest:
            ++g_active->m_resetRequests;
            return 1;
        case kAsioSupportsTimeInfo:
            return g_active->m_options.timeInfo ? 1 : 0;
        default:
            return 0;
    }
}

}  // namespace sim::hosts
