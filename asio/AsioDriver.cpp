// IASIO on the current device.
#include "AsioDriver.h"

#include "ControlPanel.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace kv380dasio {

namespace {

constexpr char kBuiltInName[] = "Talmet V-380D V-260D ASIO";
constexpr char kOpenFailure[] = "ASIO Driver open Failure!";
constexpr DWORD kDetailBytes = 528;

// At most room - 1 characters and the zero.
void CopyText(char* to, const char* from, size_t room) {
    size_t length = std::strlen(from);
    if (length > room - 1) length = room - 1;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

}  // namespace

CAsioDriver::CAsioDriver(IUnknown* outer) : CUnknown(KV_WIDE("KV-380DASIO"), outer) {}

CAsioDriver::~CAsioDriver() {
    if (m_current != nullptr) {
        m_current->StopStreaming();
        m_current->DisposeDeviceBuffers();
    }
    while (m_first != nullptr) {
        DeviceNode* node = m_first;
        m_first = node->next;
        node->device->CloseDevice();
        delete node->device;
        delete node;
    }
    m_last = nullptr;
    m_deviceCount = 0;
    m_current = nullptr;
}

HRESULT STDMETHODCALLTYPE CAsioDriver::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (IsEqualGUID(riid, kDriverClsid)) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = static_cast<IASIO*>(this);
        AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

void CAsioDriver::Append(CAsioDevice* device) {
    auto* node = new (std::nothrow) DeviceNode{.next = nullptr, .previous = m_last, .device = device};
    if (node == nullptr) {
        device->CloseDevice();
        delete device;
        return;
    }
    if (m_last != nullptr) {
        m_last->next = node;
    } else {
        m_first = node;
    }
    m_last = node;
    ++m_deviceCount;
}

ASIOBool CAsioDriver::init(void* sysHandle) {
    UNREFERENCED_PARAMETER(sysHandle);
    if (m_initialised) return ASIOTrue;
    CopyText(m_errorText, kOpenFailure, sizeof(m_errorText));
    HDEVINFO set = SetupDiGetClassDevsA(&kAsioInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return ASIOFalse;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kAsioInterfaceClass, index, &data)) break;
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kDetailBytes));
        if (detail == nullptr) break;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBytes, nullptr, nullptr)) {
            auto* device = new (std::nothrow) CAsioDevice();
            if (device != nullptr) {
                if (device->OpenDevice(detail->DevicePath)) {
                    Append(device);
                } else {
                    device->CloseDevice();
                    delete device;
                }
            }
        }
        SetupDiDeleteDeviceInterfaceData(set, &data);
        HeapFree(GetProcessHeap(), 0, detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (m_first == nullptr) return ASIOFalse;
    m_initialised = true;
    m_current = m_first->device;
    return ASIOTrue;
}

void CAsioDriver::getDriverName(char* name) {
    if (name == nullptr) return;
    CopyText(name, kBuiltInName, 32);
    if (m_first == nullptr) return;
    CAsioDevice* device = m_first->device;
    ULONG size = 0;
    if (!device->QueryDeviceName(nullptr, &size) || size == 0) return;
    auto* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1));
    if (text == nullptr) return;
    if (device->QueryDeviceName(text, &size)) {
        text[size] = '\0';
        CopyText(name, text, 32);
    }
    HeapFree(GetProcessHeap(), 0, text);
}

LONG CAsioDriver::getDriverVersion() { return 1; }

void CAsioDriver::getErrorMessage(char* string) {
    if (string != nullptr) CopyText(string, m_errorText, 100);
}

ASIOError CAsioDriver::start() {
    if (m_current == nullptr) return ASE_NotPresent;
    return m_current->StartStreaming() ? ASE_OK : ASE_NotPresent;
}

ASIOError CAsioDriver::stop() {
    if (m_current != nullptr) m_current->StopStreaming();
    return ASE_OK;
}

void CAsioDriver::ChannelCounts(ULONG* inputs, ULONG* outputs) {
    *inputs = 0;
    *outputs = 0;
    if (m_current != nullptr && !m_current->QueryChannels(inputs, outputs)) {
        *inputs = 0;
        *outputs = 0;
    }
}

ASIOError CAsioDriver::getChannels(LONG* numInputChannels, LONG* numOutputChannels) {
    if (m_current == nullptr) return ASE_NotPresent;
    ULONG inputs = 0, outputs = 0;
    if (!m_current->QueryChannels(&inputs, &outputs)) return ASE_NotPresent;
    if (numInputChannels != nullptr) *numInputChannels = static_cast<LONG>(inputs);
    if (numOutputChannels != nullptr) *numOutputChannels = static_cast<LONG>(outputs);
    return ASE_OK;
}

ASIOError CAsioDriver::getLatencies(LONG* inputLatency, LONG* outputLatency) {
    if (m_current == nullptr) return ASE_NotPresent;
    Latencies latencies{};
    if (m_current->QueryLatencies(&latencies)) {
        if (inputLatency != nullptr) *inputLatency = static_cast<LONG>(latencies.input);
        if (outputLatency != nullptr) *outputLatency = static_cast<LONG>(latencies.output);
    }
    return ASE_OK;
}

ASIOError CAsioDriver::getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) {
    if (m_current == nullptr) return ASE_NotPresent;
    BufferSizes sizes{};
    if (m_current->QueryBufferSize(&sizes)) {
        if (minSize != nullptr) *minSize = static_cast<LONG>(sizes.minimum);
        if (maxSize != nullptr) *maxSize = static_cast<LONG>(sizes.maximum);
        if (preferredSize != nullptr) *preferredSize = static_cast<LONG>(sizes.preferred);
        if (granularity != nullptr) *granularity = static_cast<LONG>(sizes.granularity);
    }
    return ASE_OK;
}

ASIOError CAsioDriver::canSampleRate(ASIOSampleRate sampleRate) {
    if (m_current == nullptr) return ASE_NotPresent;
    if (!(sampleRate >= 0.0 && sampleRate < 4294967296.0)) return ASE_NoClock;
    return m_current->CheckSampleRate(static_cast<ULONG>(sampleRate)) ? ASE_OK : ASE_NoClock;
}

ASIOError CAsioDriver::getSampleRate(ASIOSampleRate* sampleRate) {
    if (m_current == nullptr) return ASE_NotPresent;
    ULONG rate = 0;
    if (!m_current->QuerySampleRate(&rate)) return ASE_NoClock;
    m_cachedRate = rate;
    if (sampleRate != nullptr) *sampleRate = rate;
    return ASE_OK;
}

ASIOError CAsioDriver::setSampleRate(ASIOSampleRate sampleRate) {
    if (m_current == nullptr) return ASE_NoClock;
    if (!(sampleRate >= 0.0 && sampleRate < 4294967296.0)) return ASE_NoClock;
    if (!m_current->SetDeviceSampleRate(static_cast<ULONG>(sampleRate))) return ASE_NoClock;
    Latencies latencies{};
    if (!m_current->QueryLatencies(&latencies)) return ASE_NoClock;
    if (sampleRate == m_cachedRate) return ASE_OK;
    m_cachedRate = sampleRate;
    m_current->SignalNotify();
    return ASE_OK;
}

ASIOError CAsioDriver::getClockSources(ASIOClockSource* clocks, LONG* numSources) {
    if (clocks != nullptr) {
        *clocks = ASIOClockSource{.index = 0, .associatedChannel = -1, .associatedGroup = -1,
                                  .isCurrentSource = ASIOTrue, .name = {}};
        CopyText(clocks->name, "Internal", sizeof(clocks->name));
    }
    if (numSources != nullptr) *numSources = 1;
    return ASE_OK;
}

ASIOError CAsioDriver::setClockSource(LONG reference) { return reference == 0 ? ASE_OK : ASE_NotPresent; }

ASIOError CAsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (m_current == nullptr) return ASE_NotPresent;
    m_current->ReadSamplePosition(sPos, tStamp);
    return ASE_OK;
}

ASIOError CAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (m_current == nullptr) return ASE_NotPresent;
    if (info == nullptr) return ASE_InvalidParameter;
    ULONG inputs = 0, outputs = 0;
    ChannelCounts(&inputs, &outputs);
    ULONG count = info->isInput != 0 ? inputs : outputs;
    if (info->channel < 0 || static_cast<ULONG>(info->channel) >= count) return ASE_InvalidParameter;
    return m_current->QueryChannelInfo(info) ? ASE_OK : ASE_NotPresent;
}

ASIOError CAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                     ASIOCallbacks* callbacks) {
    if (m_current == nullptr) return ASE_NotPresent;
    if (bufferInfos == nullptr || callbacks == nullptr || numChannels <= 0) return ASE_InvalidParameter;
    ULONG inputs = 0, outputs = 0;
    ChannelCounts(&inputs, &outputs);
    for (LONG i = 0; i < numChannels; ++i) {
        ULONG count = bufferInfos[i].isInput != 0 ? inputs : outputs;
        if (bufferInfos[i].channelNum < 0 || static_cast<ULONG>(bufferInfos[i].channelNum) >= count) {
            return ASE_InvalidParameter;
        }
    }
    return m_current->CreateDeviceBuffers(bufferInfos, numChannels, bufferSize, callbacks);
}

ASIOError CAsioDriver::disposeBuffers() {
    stop();
    if (m_current != nullptr) m_current->DisposeDeviceBuffers();
    return ASE_OK;
}

ASIOError CAsioDriver::controlPanel() {
    if (m_current == nullptr) return ASE_NotPresent;
    // A panel already open keeps its registration: nothing here touches it.
    if (PanelOpen()) return ASE_OK;
    RunControlPanel(SavedModule(), m_current);
    m_current->UnregisterPanelEvent();
    return ASE_OK;
}

ASIOError CAsioDriver::future(LONG selector, void* opt) {
    if (m_current == nullptr) return ASE_NotPresent;
    switch (selector) {
        case kAsioCanTimeInfo:
            return ASE_SUCCESS;
        case kAsioSetIoFormat:
        case kAsioGetIoFormat:
        case kAsioCanDoIoFormat:
            return m_current->HandleIoFormat(selector, static_cast<ASIOIoFormat*>(opt)) ? ASE_SUCCESS : ASE_NotPresent;
        default:
            return ASE_NotPresent;
    }
}

ASIOError CAsioDriver::outputReady() { return ASE_NotPresent; }

}  // namespace kv380dasio
