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

// Bits a sample type carries at the top of a left-aligned 32-bit value.
uint32_t TypeBits(LONG type) {
    switch (type) {
        case ASIOSTInt16LSB:
            return 16;
        case ASIOSTInt24LSB:
            return 24;
        default:
            return 32;
    }
}

// The fewest bits of the channels' types: what a value keeps on its way out and back in.
uint32_t CarriedBits(const std::vector<ASIOChannelInfo>& channels, uint32_t bits = 32) {
    for (const ASIOChannelInfo& info : channels) bits = std::min(bits, TypeBits(info.type));
    return bits;
}

int32_t Quantise(int32_t value, uint32_t bits) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) & (bits >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits)));
}

// The rates a host may ask for; the report lists those the driver can do.
constexpr uint32_t kCandidateRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

// The first buffer event comes one start offset after START (the transfers begin a few frames
// ahead of the bus's frame and take one transfer to complete): a run may miss the switches of
// that much time at its end, whatever the buffer size.
constexpr double kStartOffsetSeconds = 0.010;

const char* ErrorName(ASIOError error) {
    switch (error) {
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "an unknown error";
    }
}

// The candidate rates the driver accepts, as a host's rate list shows them.
std::string OfferedRates(IASIO* driver) {
    std::string offered;
    for (uint32_t rate : kCandidateRates) {
        if (driver->canSampleRate(rate) == ASE_OK) offered += (offered.empty() ? "" : " ") + std::to_string(rate);
    }
    return offered.empty() ? "none" : offered;
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

// Picks the panel entries the options ask for, then OK. An entry the panel does not list (a
// sample type the device has no format for, a latency not in the driver's table) is named in
// *missing with what the panel offers instead, and nothing is changed for it.
void ScriptPanel(const Options& options, std::shared_ptr<std::string> missing) {
    std::vector<sim::user::DialogStep> steps;
    steps.push_back(sim::user::DialogStep::Run([options, missing](HWND dialog) {
        const auto pick = [&](int control, const std::string& wanted, const char* option) {
            const sim::user::ComboState combo = sim::user::DialogCombo(dialog, control);
            for (size_t i = 0; i < combo.items.size(); ++i) {
                if (combo.items[i] == wanted) {
                    SendDlgItemMessageA(dialog, control, CB_SETCURSEL, i, 0);
                    return;
                }
            }
            // The latency entries are padded to line up in the list; the message shows them bare.
            const auto bare = [](const std::string& text) { return text.substr(std::min(text.find_first_not_of(' '), text.size())); };
            std::string offered;
            for (const std::string& item : combo.items) offered += (offered.empty() ? "" : ", ") + bare(item);
            *missing += std::string(missing->empty() ? "" : "; ") + option + ": the panel has no \"" + bare(wanted) +
                        "\" (it offers " + (offered.empty() ? "nothing" : offered) + ")";
        };
        if (!options.bits.empty()) pick(1001, options.bits + " Bits", "--bits");
        if (options.latencyMs != 0) {
            char text[20];
            std::snprintf(text, sizeof(text), "%2u ms", options.latencyMs);
            pick(1002, text, "--latency");
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
// The comparison is at the channels' sample type: what the outputs cannot carry is not expected
// back.
void ReportRoundTrip(std::ostream& out, const sim::hosts::AsioHost& host,
                     const std::function<int32_t(uint32_t, uint64_t)>& sent, bool* exact) {
    // Without both directions there is no round trip, and nothing that could be wrong in it.
    *exact = host.Outputs().empty() || host.Inputs().empty();
    if (*exact) {
        out << "round trip: not measured, the device has no ASIO " << (host.Outputs().empty() ? "outputs" : "inputs")
            << " to loop back\n";
        return;
    }
    const std::vector<std::vector<int32_t>> recorded = host.Recorded();
    const size_t channels = std::min(recorded.size(), host.Outputs().size());
    const size_t frames = channels != 0 ? recorded[0].size() : 0;
    const std::string reported = std::to_string(host.InputLatency()) + " + " + std::to_string(host.OutputLatency());
    const uint32_t bits = CarriedBits(host.Inputs(), CarriedBits(host.Outputs()));
    auto matches = [&](size_t at, uint64_t first, size_t count) {
        for (size_t f = 0; f < count; ++f) {
            for (size_t c = 0; c < channels; ++c) {
                if (recorded[c][at + f] != Quantise(sent(static_cast<uint32_t>(c), first + f), bits)) return false;
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
            << " reported, sample-exact: no\n";
        return;
    }
    uint64_t mismatch = UINT64_MAX;
    for (size_t at = delay; at < frames && mismatch == UINT64_MAX; ++at) {
        if (!matches(at, at - delay, 1)) mismatch = at - delay;
    }
    *exact = mismatch == UINT64_MAX;
    out << "round trip: " << delay << " samples measured, " << reported << " reported, sample-exact: "
        << (*exact ? std::string("yes") : "no (first mismatch at frame " + std::to_string(mismatch) + ")") << '\n';
    const uint64_t device = kLoopbackDelayFrames;
    Line(out, "latencies agree",
         static_cast<uint64_t>(host.InputLatency()) + static_cast<uint64_t>(host.OutputLatency()) + device == delay
             ? "yes (reported + the device's " + std::to_string(device) + " frames = measured)"
             : "no (reported + the device's " + std::to_string(device) + " frames != measured)");
}

// *badOption: an option asked for what this device's driver does not offer.
bool RunHost(const Options& options, const std::string& asioPath, std::ostream& out, bool* badOption) {
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
        auto missing = std::make_shared<std::string>();
        ScriptPanel(options, missing);
        host.Driver()->controlPanel();
        if (!missing->empty()) {
            out << "kvsim: " << *missing << '\n';
            *badOption = true;
            host.Unload();
            return false;
        }
        // The settings changed: the host loads the driver afresh.
        host.Unload();
        if (FAILED(host.Load(drivers[0].clsid))) return false;
    }
    ASIOError result = host.Setup(hostOptions);
    out << "driver   " << host.DriverName() << '\n';
    if (result != ASE_OK) {
        Line(out, "setup", std::string("failed (") + ErrorName(result) + ", " + std::to_string(result) + ")");
        if (result == ASE_NoClock && options.asioRate != 0) {
            out << "kvsim: --rate: the driver offers no " << options.asioRate << " Hz (it offers "
                << OfferedRates(host.Driver()) << ")\n";
            *badOption = true;
        }
        return false;
    }
    for (const ASIOChannelInfo& info : host.Inputs()) Line(out, "input " + std::to_string(info.channel), std::string(info.name) + ", " + TypeName(info.type));
    for (const ASIOChannelInfo& info : host.Outputs()) Line(out, "output " + std::to_string(info.channel), std::string(info.name) + ", " + TypeName(info.type));
    Line(out, "sample rate", std::to_string(static_cast<long>(host.SampleRate())) + " Hz");
    Line(out, "rates offered", OfferedRates(host.Driver()));
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
    const int64_t missing = 2 + static_cast<int64_t>(std::ceil(kStartOffsetSeconds * host.SampleRate() / host.BufferFrames()));
    bool ok = host.IndicesAlternate() && host.PositionsGrewByN() && host.Switches() <= expected + 2 &&
              host.Switches() >= expected - missing;
    if (!options.output.empty()) {
        // The file holds the inputs' own sample type.
        const uint32_t bits = CarriedBits(host.Inputs());
        std::vector<std::vector<int32_t>> recorded = host.Recorded();
        std::vector<int32_t> interleaved;
        size_t frames = recorded.empty() ? 0 : recorded[0].size();
        for (size_t f = 0; f < frames; ++f) {
            for (const auto& channel : recorded) interleaved.push_back(bits >= 32 ? channel[f] : channel[f] >> (32 - bits));
        }
        if (!sim::usb::detail::WriteWav(options.output, static_cast<uint16_t>(recorded.size()), static_cast<uint16_t>(bits / 8),
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
    bool badOption = false;
    if (added) {
        WriteDriverSettings(options, node, out, Line);
        status = sim::pnp::StartDevice(node);
        Line(out, "START", StatusText(status));
        if (NT_SUCCESS(status)) {
            sim::user::Process* process = sim::user::CreateProcess("asio host");
            {
                sim::user::ProcessScope scope(process);
                ok = RunHost(options, asioPath, out, &badOption);
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
    return ok ? 0 : badOption ? 2 : 1;
}

}  // namespace kvsim
