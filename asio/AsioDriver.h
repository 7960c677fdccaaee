// The driver object a host creates through COM and drives through IASIO: it opens every device
// that offers the kernel driver's private interface and serves the host from the first of them.
#pragma once

#include "AsioDevice.h"
#include "ComServer.h"

#include <win/asio.h>

namespace kv380dasio {

class CAsioDriver final : public IASIO, public CUnknown {
public:
    explicit CAsioDriver(IUnknown* outer);
    ~CAsioDriver() override;

    // IUnknown, forwarded to the controlling unknown.
    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID riid, PVOID* ppv) override { return Owner()->QueryInterface(riid, ppv); }
    ULONG STDMETHODCALLTYPE AddRef() override { return Owner()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Owner()->Release(); }
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    LONG getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) override;
    ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) override;
    ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) override;
    ASIOError setClockSource(LONG reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(LONG selector, void* opt) override;
    ASIOError outputReady() override;

    CAsioDevice* CurrentDevice() const { return m_current; }

private:
    struct DeviceNode {
        DeviceNode* next;
        DeviceNode* previous;
        CAsioDevice* device;
    };
    void Append(CAsioDevice* device);
    void ChannelCounts(ULONG* inputs, ULONG* outputs);

    bool m_initialised = false;
    char m_errorText[128] = {};
    DeviceNode* m_first = nullptr;
    DeviceNode* m_last = nullptr;
    ULONG m_deviceCount = 0;
    CAsioDevice* m_current = nullptr;
    double m_cachedRate = 44'100.0;
};

}  // namespace kv380dasio
