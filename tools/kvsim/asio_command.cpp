#include "asio_command.h"

#include "driver_settings.h"
#include "info_command.h"
#include "text.h"

#include "platform/devices/wav_file.h"

#include <sim/asio_host.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_bus.h>
#include <sim/user.h>
#include <win/win32.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace kvsim {
namespace {

constexpr char16_t kService[] = u"KV-380D";
// The device's own delay from its render endpoint back to its capture endpoint with --loopback:
// more than one packet of frames, so that a capture packet never asks for frames whose render
// packet the bus has not delivered yet.
constexpr uint32_t kLoopbackDelayFrames = 128;

void Line(std::ostream& out, const std::string& label, const std::string& text) {
    std::string padded = "  " + label;
    if (padded.size() < 26) padded.resize(26, ' ');
    out << padded << ' ' << text << '\n';
}

const char* TypeName(LONG type) {
    switch (type) {
        case ASIOSTInt16LSB:
            return "Int16LSB";
        case ASIOSTInt24LSB:
            return "Int24LSB";
        case ASIOSTInt32LSB:
            return "Int32LSB";
        case ASIOSTDSDInt8MSB1:
            return "DSDInt8MSB1";
        default:
            return "other";
    }
}

typedef HRESULT(STDMETHODCALLTYPE* Export)();

// The registration tool: loads the library by path and calls its DllRegisterServer.
bool Register(const std::string& path, std::ostream& out) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        out << "kvsim: no ASIO library at " << path << " (build the KV-380DASIO64 target)\n";
        return false;
    }
    auto entry = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    HRESULT result = entry != nullptr ? entry() : E_FAIL;
    FreeLibrary(module);
    Line(out, "DllRegisterServer", result == S_OK ? "S_OK" : "failed");
    return result == S_OK;
}

// Picks the panel entries the options ask for, then OK.
void ScriptPanel(const Options& options) {
    std::vector<sim::user::DialogStep> steps;
    steps.push_back(sim::user::DialogStep::Run([options](HWND dialog) {
        if (!options.bits.empty()) {
            sim::user::ComboState bits = sim::user::DialogCombo(dialog, 1001);
            for (size_t i = 0; i < bits.items.size(); ++i) {
                if (bits.items[i] == options.bits + " Bits") {
                    SendDlgItemMessageA(dialog, 1001, CB_SETCURSEL, i, 0);
                }
            }
        }
        if (options.latencyMs != 0) {
            char text[20];
            std::snprintf(text, sizeof(text), "%2u ms", options.latencyMs);
            sim::user::ComboState latencies = sim::user::DialogCombo(dialog, 1002);
            for (size_t i = 0; i < latencies.items.size(); ++i) {
                if (latencies.items[i] == text) SendDlgItemMessageA(dialog, 1002, CB_SETCURSEL, i, 0);
            }
        }
    }));
    steps.push_back(sim::user::DialogStep::Ok());
    sim::user::ScriptDialogs(steps);
}

// With --loopback the outputs play a pattern that never repeats within a run: every frame of every
// channel is a hash of the frame and channel numbers (upper 16 bits, so any sample type carries it
// whole; never 0, so no stretch of it looks like silence). A ramp repeats after 65,536 frames and
// would let a delay search land a lap off.
int32_t LoopbackValue(uint32_t channel, uint64_t frame) {
    uint64_t x = (frame << 8 | channel) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    uint32_t value = static_cast<uint32_t>(x) & 0xFFFFu;
    if (value == 0) value = 1;
    return static_cast<int32_t>(value << 16);
}

// Frames of the pattern that must match for a delay to count as found.
constexpr size_t kRoundTripWindow = 64;
// The window is taken this far into the outputs, so that a start that loses its first frames
// still finds the delay and reports them as the first mismatch.
constexpr uint64_t kRoundTripProbeFrame = 8192;

// The round trip: the delay D at which the inputs carry the outputs' pattern, found from a window
// of it; D is counted only when exactly one delay matches. Then every recorded frame from D on must
// be the outputs' frame (frame - D) on each channel that both directions have.
void ReportRoundTrip(std::ostream& out, const sim::hosts::AsioHost& host,
                     const std::function<int32_t(uint32_t, uint64_t)>& sent, bool* exact) {
    const std::vector<std::vector<int32_t>> recorded = host.Recorded();
    const size_t channels = std::min(recorded.size(), host.Outputs().size());
    const size_t frames = channels != 0 ? recorded[0].size() : 0;
    const std::string reported = std::to_string(host.InputLatency()) + " + " + std::to_string(host.OutputLatency());
    *exact = false;
    auto matches = [&](size_t at, uint64_t first, size_t count) {
        for (size_t f = 0; f < count; ++f) {
            for (size_t c = 0; c < channels; ++c) {
                if (recorded[c][at + f] != sent(static_cast<uint32_t>(c), first + f)) return false;
            }
        }
        return true;
    };
    size_t found = 0;
    size_t delay = 0;
    for (size_t at = kRoundTripProbeFrame; at + kRoundTripWindow <= frames; ++at) {
        if (!matches(at, kRoundTripProbeFrame, kRoundTripWindow)) continue;
        if (++found == 1) delay = at - kRoundTripProbeFrame;
    }
    if (found != 1) {
        out << "round trip: " << (found == 0 ? "no delay measured" : "no unique delay") << ", " << reported
            << " reported, sample-exact: no (first mismatch at frame 0)\n";
        return;
    }
    uint64_t mismatch = UINT64_MAX;
    for (size_t at = delay; at < frames && mismatch == UINT64_MAX; ++at) {
        if (!matches(at, at - delay, 1)) mismatch = at - delay;
    }
    *exact = mismatch == UINT64_MAX;
    out << "round trip: " << delay << " samples measured, " << reported << " reported, sample-exact: "
        << (*exact ? std::string("yes") : "no (first mismatch at frame " + std::to_string(mismatch) + ")") << '\n';
}

bool RunHost(const Options& options, const std::string& asioPath, std::ostream& out) {
    if (!Register(asioPath, out)) return false;
    std::vector<sim::hosts::AsioDriverEntry> drivers = sim::hosts::RegisteredAsioDrivers();
    if (drivers.empty()) {
        out << "kvsim: no ASIO driver registered\n";
        return false;
    }
    sim::hosts::AsioHost host;
    if (FAILED(host.Load(drivers[0].clsid))) {
        out << "kvsim: the driver could not be created\n";
        return false;
    }
    sim::hosts::AsioHostOptions hostOptions;
    hostOptions.bufferFrames = static_cast<LONG>(options.asioBuffer);
    hostOptions.sampleRate = options.asioRate;
    sim::usb::detail::WavContents input;
    if (!options.inputFile.empty()) {
        std::string error;
        if (!sim::usb::detail::ReadWav(options.inputFile, &input, &error)) {
            out << "kvsim: " << options.inputFile << ": " << error << '\n';
            return false;
        }
        hostOptions.source = [&input](uint32_t channel, uint64_t frame) -> int32_t {
            if (channel >= input.channels) return 0;
            uint64_t index = frame * input.channels + channel;
            if (index >= input.samples.size()) return 0;
            return static_cast<int32_t>(static_cast<uint32_t>(input.samples[index]) << (32 - input.bits));
        };
    } else if (options.loopback) {
        hostOptions.source = LoopbackValue;
    }
    if (host.Driver()->init(nullptr) != ASIOTrue) {
        char text[128] = {};
        host.Driver()->getErrorMessage(text);
        Line(out, "init", std::string("failed (") + text + ")");
        return false;
    }
    if (!options.bits.empty() || options.latencyMs != 0) {
        ScriptPanel(options);
        host.Driver()->controlPanel();
        // The settings changed: the host loads the driver afresh.
        host.Unload();
        if (FAILED(host.Load(drivers[0].clsid))) return false;
    }
    ASIOError result = host.Setup(hostOptions);
    out << "driver   " << host.DriverName() << '\n';
    if (result != ASE_OK) {
        Line(out, "setup", "failed (" + std::to_string(result) + ")");
        return false;
    }
    for (const ASIOChannelInfo& info : host.Inputs()) Line(out, "input " + std::to_string(info.channel), std::string(info.name) + ", " + TypeName(info.type));
    for (const ASIOChannelInfo& info : host.Outputs()) Line(out, "output " + std::to_string(info.channel), std::string(info.name) + ", " + TypeName(info.type));
    Line(out, "sample rate", std::to_string(static_cast<long>(host.SampleRate())) + " Hz");
    Line(out, "latencies", std::to_string(host.InputLatency()) + " in, " + std::to_string(host.OutputLatency()) + " out (frames)");
    Line(out, "buffer sizes", "min " + std::to_string(host.MinSize()) + ", max " + std::to_string(host.MaxSize()) +
                                  ", preferred " + std::to_string(host.PreferredSize()) + ", granularity " +
                                  std::to_string(host.Granularity()) + "; used " + std::to_string(host.BufferFrames()));
    if (host.Start() != ASE_OK) {
        Line(out, "start", "failed");
        return false;
    }
    const double seconds = options.seconds != 0 ? options.seconds : 2.0;
    sim::machine::RunFor(static_cast<sim::machine::Time>(seconds * sim::machine::kSecond));
    host.Stop();
    Line(out, "time info", host.UsedTimeInfo() ? "bufferSwitchTimeInfo" : "bufferSwitch");
    const int64_t expected = static_cast<int64_t>(seconds * host.SampleRate()) / host.BufferFrames() + 2;
    Line(out, "switches", std::to_string(host.Switches()) + " of " + std::to_string(expected) + " expected");
    Line(out, "sample position", std::to_string(host.LastSamplePosition()));
    bool ok = host.IndicesAlternate() && host.PositionsGrewByN() && std::llabs(host.Switches() - expected) <= 2;
    if (!options.output.empty()) {
        std::vector<std::vector<int32_t>> recorded = host.Recorded();
        std::vector<int32_t> interleaved;
        size_t frames = recorded.empty() ? 0 : recorded[0].size();
        for (size_t f = 0; f < frames; ++f) {
            for (const auto& channel : recorded) interleaved.push_back(channel[f] >> 16);
        }
        if (!sim::usb::detail::WriteWav(options.output, static_cast<uint16_t>(recorded.size()), 2,
                                        static_cast<uint32_t>(host.SampleRate()), interleaved)) {
            out << "kvsim: cannot write " << options.output << '\n';
            ok = false;
        }
    }
    if (options.loopback) {
        bool exact = false;
        ReportRoundTrip(out, host, hostOptions.source, &exact);
        ok = ok && exact;
    }
    host.Unload();
    return ok;
}

}  // namespace

int RunAsio(const Options& options, const std::string& driverPath, const std::string& asioPath, std::ostream& out) {
    std::string label;
    std::unique_ptr<sim::usb::Device> device = MakeDevice(options, out, &label);
    if (!device) return 2;
    if (options.loopback && device->Audio() != nullptr) device->Audio()->SetLoopback(kLoopbackDelayFrames);
    sim::pool::Snapshot pool = sim::pool::TakeSnapshot();
    Balances before = Balances::Now();
    if (access(driverPath.c_str(), R_OK) != 0) {
        out << "kvsim: no driver module at " << driverPath << " (build the KV-380D target)\n";
        return 1;
    }
    sim::pnp::Driver* driver = nullptr;
    NTSTATUS status = sim::pnp::LoadDriver(driverPath, kService, &driver);
    Line(out, "DriverEntry", StatusText(status));
    if (!NT_SUCCESS(status)) return 1;
    sim::usb::Port* port = sim::usb::PlugDevice(std::move(device));
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    out << "device   " << label << '\n';
    status = sim::pnp::AddDevice(driver, node);
    Line(out, "AddDevice", StatusText(status));
    bool added = NT_SUCCESS(status);
    bool ok = false;
    if (added) {
        WriteDriverSettings(options, node, out, Line);
        status = sim::pnp::StartDevice(node);
        Line(out, "START", StatusText(status));
        if (NT_SUCCESS(status)) {
            sim::user::Process* process = sim::user::CreateProcess("asio host");
            {
                sim::user::ProcessScope scope(process);
                ok = RunHost(options, asioPath, out);
            }
            size_t left = sim::user::DestroyProcess(process);
            Line(out, "host process", left == 0 ? "ended with no handle open" : std::to_string(left) + " handles left open");
            ok = ok && left == 0 && sim::user::LoadedModuleCount() == 0;
        }
    }
    if (added) {
        out << "removal\n";
        Line(out, "REMOVE", StatusText(sim::pnp::RemoveDevice(node)));
    }
    sim::usb::RemovePort(port);
    if (!ReportVerifier(out, pool, before)) {
        out << "kvsim: the driver left something behind; it stays loaded\n";
        return 1;
    }
    sim::pnp::UnloadDriver(driver);
    Line(out, "unload", "clean");
    return ok ? 0 : 1;
}

}  // namespace kvsim
