// The library's client of one device's private ASIO interface: one operation per control code,
// the device's events and worker thread, the host's double buffers, and buffer switching on every
// buffer event.
#pragma once

#include "AsioProtocol.h"
#include "BufferSwitcher.h"

#include <win/asio.h>
#include <win/win32.h>

namespace kv380dasio {

class CAsioDevice {
public:
    CAsioDevice();
    ~CAsioDevice();
    CAsioDevice(const CAsioDevice&) = delete;
    CAsioDevice& operator=(const CAsioDevice&) = delete;

    bool OpenDevice(const char* path);
    void CloseDevice();

    bool QueryChannels(ULONG* inputs, ULONG* outputs);
    bool QueryChannelInfo(ASIOChannelInfo* info);
    ULONG QueryBitDepths(void* buffer, ULONG size);
    ULONG QueryLatencyChoices(void* buffer, ULONG size);
    bool QueryDeviceName(char* buffer, ULONG* size);
    bool QueryLatencies(Latencies* latencies);
    bool QuerySampleRate(ULONG* rate);
    bool QueryBufferSize(BufferSizes* sizes);
    bool CheckSampleRate(ULONG rate);
    bool SetDeviceSampleRate(ULONG rate);
    bool SendBitDepth(ULONG sampleType);
    bool SendLatency(ULONG latencyIndex);
    bool HandleIoFormat(LONG selector, ASIOIoFormat* format);

    // ASE_OK, or the ASIO error the host gets: a zero or too small buffer size, no channels, or
    // null infos or callbacks are ASE_InvalidParameter or ASE_InvalidMode; buffers that exist
    // already are ASE_InvalidMode; allocation or request failures are ASE_NoMemory.
    ASIOError CreateDeviceBuffers(ASIOBufferInfo* infos, LONG count, LONG bufferSize, ASIOCallbacks* callbacks);
    bool DisposeDeviceBuffers();
    bool StartStreaming();
    bool StopStreaming();
    bool ReadSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp);
    void SignalNotify();
    bool RegisterPanelEvent(HANDLE event);
    bool UnregisterPanelEvent();

    bool HasBuffers() const { return m_callbacks != nullptr; }
    ULONG SampleRate() const { return m_sampleRate; }
    ULONG BytesPerSample() const { return m_bytesPerSample; }
    ULONG DsdFlag() const { return m_dsdFlag; }
    ULONG RingCount() const { return m_ringCount; }
    HANDLE NotifyEvent() const { return m_notifyEvent; }
    const BufferSwitcher& Switcher() const { return m_switcher; }
    // Runs between START and the alignment of the render positions (a test's preemption).
    void SetStartHook(void (*hook)()) { m_startHook = hook; }

private:
    static DWORD WINAPI AsioWorkerThread(LPVOID parameter);
    void WorkerLoop();
    void OnNotify();
    bool Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr);
    ULONG SizeQuery(DWORD code);
    ULONG TwoCallQuery(DWORD code, void* buffer, ULONG size);
    void StopWorker();
    void CloseEvents();
    void FreeChannels();
    void ReturnToPcm();
    static DWORD HandleBytes();

    char* m_path = nullptr;
    HANDLE m_device = nullptr;
    ULONG m_inputChannels = 0;
    ULONG m_outputChannels = 0;
    ULONG m_ringCount = 0;
    SharedRingHeader** m_rings = nullptr;
    HANDLE m_threadEnded = nullptr;
    HANDLE m_exitEvent = nullptr;
    HANDLE m_bufferEvent = nullptr;
    HANDLE m_worker = nullptr;
    HANDLE m_notifyEvent = nullptr;
    HANDLE m_panelEvent = nullptr;  // guarded by m_section
    const ASIOCallbacks* m_callbacks = nullptr;  // changes only under m_streamGuard
    ChannelBuffer* m_channels = nullptr;
    BYTE** m_blocks = nullptr;  // per channel: the host block and the staging block
    ULONG m_channelCount = 0;
    ULONG m_sampleRate = 0;      // Hz
    ULONG m_bytesPerSample = 2;  // of the selected type at open; buffers take the active type's
    ULONG m_dsdFlag = kFormatPcm;
    CRITICAL_SECTION m_section;      // the panel refresh event
    CRITICAL_SECTION m_streamGuard;  // the switcher's state; never held while the host is called
    bool m_running = false;          // under m_streamGuard
    void (*m_startHook)() = nullptr;
    BufferSwitcher m_switcher;
};

}  // namespace kv380dasio
