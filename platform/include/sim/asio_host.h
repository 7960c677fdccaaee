// An ASIO host application: finds the drivers registered under HKLM\SOFTWARE\ASIO, creates one by
// its class through COM in the calling thread's process, and drives it through IASIO the way
// hosts do (init, channels, buffer sizes, channel information, createBuffers, start, buffer
// switches on the driver's thread, stop, disposeBuffers, Release). Render channels play a source
// (per-channel ramps by default); capture channels are recorded. A reset request from the driver
// is remembered for the host's own thread, which reloads the driver.
//
// The driver calls the host through plain function pointers, so one host is active at a time.
#pragma once

#include <win/asio.h>
#include <win/win32.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim::hosts {

struct AsioDriverEntry {
    std::string name;
    std::string clsidText;
    CLSID clsid{};
    std::string description;
};
std::vector<AsioDriverEntry> RegisteredAsioDrivers();

struct AsioChannel {
    ASIOChannelInfo info{};
};

struct AsioHostOptions {
    LONG bufferFrames = 0;         // 0: the driver's preferred size
    double sampleRate = 0;         // 0: keep the driver's rate
    bool timeInfo = true;          // answer kAsioSupportsTimeInfo with 1
    LONG engineVersion = 2;
    bool allInputs = true;         // buffers for every input and output channel
    bool allOutputs = true;
    // The render source: sample value of channel c (within outputs) at frame f, as a 32-bit
    // left-aligned integer; null: ramps (see RampValue).
    std::function<int32_t(uint32_t channel, uint64_t frame)> source;
};

// The default render ramp, left-aligned in 32 bits: frame f of channel c carries (f + c * 4096)
// in the sample's top bits (the 16 most significant bits).
int32_t RampValue(uint32_t channel, uint64_t frame);

class AsioHost {
public:
    AsioHost();
    ~AsioHost();
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // CoCreateInstance of the class asking for IASIO; S_OK or the COM error.
    HRESULT Load(const CLSID& clsid);
    // Stops and disposes what is running, releases the driver, lets COM unload unused libraries.
    void Unload();
    IASIO* Driver() const { return m_driver; }

    // init, channels, buffer sizes, the rate, channel information and createBuffers.
    ASIOError Setup(const AsioHostOptions& options);
    ASIOError Start();
    ASIOError Stop();
    ASIOError Dispose();
    // Unload, Load and Setup again, then Start when it was running (a reset request's answer).
    ASIOError Reload();

    bool ResetRequested() const { return m_resetRequests.load() > m_resetsServed; }
    int ResetRequests() const { return m_resetRequests.load(); }
    int RateChanges() const { return m_rateChanges.load(); }
    double LastChangedRate() const { return m_lastRate.load(); }

    // What the host saw.
    int64_t Switches() const { return m_switches.load(); }
    bool IndicesAlternate() const { return m_indicesAlternate.load(); }
    bool UsedTimeInfo() const { return m_usedTimeInfo.load(); }
    bool PositionsGrewByN() const { return m_positionsGrew.load(); }
    ULONG TimeInfoFlagsSeen() const { return m_flagsSeen.load(); }
    uint64_t LastSamplePosition() const { return m_lastPosition.load(); }
    LONG BufferFrames() const { return m_bufferFrames; }
    LONG MinSize() const { return m_minSize; }
    LONG MaxSize() const { return m_maxSize; }
    LONG PreferredSize() const { return m_preferredSize; }
    LONG Granularity() const { return m_granularity; }
    LONG InputLatency() const { return m_inputLatency; }
    LONG OutputLatency() const { return m_outputLatency; }
    double SampleRate() const { return m_sampleRate; }
    const std::vector<ASIOChannelInfo>& Inputs() const { return m_inputs; }
    const std::vector<ASIOChannelInfo>& Outputs() const { return m_outputs; }
    std::string DriverName() const { return m_driverName; }
    // Recorded capture samples per input channel, left-aligned 32-bit.
    std::vector<std::vector<int32_t>> Recorded() const;
    // Called on the driver's thread after the host handled a switch (tests block or release here).
    void SetSwitchHook(std::function<void(LONG index)> hook) { m_hook = std::move(hook); }

private:
    static void BufferSwitch(LONG index, ASIOBool direct);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool direct);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static LONG AsioMessage(LONG selector, LONG value, void* message, double* opt);
    void OnSwitch(LONG index, const ASIOTime* time);

    CLSID m_clsid{};
    IASIO* m_driver = nullptr;
    AsioHostOptions m_options;
    bool m_buffers = false;
    bool m_running = false;
    std::vector<ASIOBufferInfo> m_bufferInfos;
    std::vector<ASIOChannelInfo> m_inputs, m_outputs;
    ASIOCallbacks m_callbacks{};
    std::string m_driverName;
    LONG m_bufferFrames = 0, m_minSize = 0, m_maxSize = 0, m_preferredSize = 0, m_granularity = 0;
    LONG m_inputLatency = 0, m_outputLatency = 0;
    double m_sampleRate = 0;
    uint64_t m_renderFrame = 0;
    mutable std::mutex m_recordLock;
    std::vector<std::vector<int32_t>> m_recorded;
    std::atomic<int64_t> m_switches{0};
    std::atomic<bool> m_indicesAlternate{true};
    std::atomic<bool> m_usedTimeInfo{false};
    std::atomic<bool> m_positionsGrew{true};
    std::atomic<ULONG> m_flagsSeen{0};
    std::atomic<uint64_t> m_lastPosition{0};
    LONG m_lastIndex = -1;
    std::atomic<int> m_resetRequests{0};
    int m_resetsServed = 0;
    std::atomic<int> m_rateChanges{0};
    std::atomic<double> m_lastRate{0};
    std::function<void(LONG)> m_hook;
};

}  // namespace sim::hosts
