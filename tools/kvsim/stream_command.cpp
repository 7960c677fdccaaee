#include "stream_command.h"

#include "driver_session.h"
#include "text.h"
#include "wave_pins.h"

#include "platform/devices/wav_file.h"

#include <sim/audio_stack.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_ramp_check.h>
#include <win/ksmedia.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace kvsim {
namespace {

constexpr sim::machine::Time kMs = sim::machine::kMillisecond;
// Time after the content for the transfers in flight to drain.
constexpr sim::machine::Time kDrain = 100 * kMs;
// Interfaces a catalog device may stream on.
constexpr uint8_t kMaxInterfaces = 16;

void Line(std::ostream& out, const std::string& label, const std::string& text) {
    std::string padded = "  " + label;
    if (padded.size() < 26) padded.resize(26, ' ');
    out << padded << ' ' << text << '\n';
}

std::string FormatText(unsigned rate, unsigned bits, unsigned channels, unsigned container = 0) {
    const std::string inContainer = container > bits ? " in " + std::to_string(container) : "";
    return std::to_string(rate) + " Hz, " + std::to_string(bits) + " bits" + inContainer + ", " +
           std::to_string(channels) + " channels";
}

// Interleaved samples, sign-extended, in frames of `channels`.
struct Samples {
    unsigned channels = 0;
    std::vector<int32_t> values;
    size_t Frames() const { return channels == 0 ? 0 : values.size() / channels; }
    bool FrameSilent(size_t frame) const {
        for (unsigned c = 0; c < channels; ++c) {
            if (values[frame * channels + c] != 0) return false;
        }
        return true;
    }
    bool FrameEquals(size_t frame, const Samples& other, size_t otherFrame) const {
        return std::memcmp(&values[frame * channels], &other.values[otherFrame * channels],
                           channels * sizeof(int32_t)) == 0;
    }
};

// How the received frames follow the sent ones: after leading silence, every sent frame in order;
// a frame that repeats the previous one is a repeat, a jump forward a gap, anything else a fault.
struct Comparison {
    size_t matched = 0;
    size_t gaps = 0;
    size_t repeats = 0;
    size_t faults = 0;
    size_t first = 0;    // the sent frame the received content starts with
    // matched: the sent frame after the last one received in order.
    // No frame compared proves nothing: an empty stream is never "sample-exact".
    bool SampleExact(size_t sent) const {
        return sent != 0 && matched == sent && gaps == 0 && repeats == 0 && faults == 0;
    }
};

// searchStart: how far into `sent` the first received frame may lie (a capture starts anywhere).
Comparison Compare(const Samples& sent, const Samples& received, size_t searchStart) {
    Comparison result;
    if (sent.channels != received.channels || sent.Frames() == 0) return result;
    size_t r = 0;
    while (r < received.Frames() && received.FrameSilent(r)) ++r;
    if (r == received.Frames()) return result;
    // Silence at the start of the content cannot be told from the stream's start.
    size_t s = 0;
    while (s < sent.Frames() && sent.FrameSilent(s)) ++s;
    searchStart += s + 1;
    while (s < searchStart && s < sent.Frames() && !received.FrameEquals(r, sent, s)) ++s;
    if (s == sent.Frames() || !received.FrameEquals(r, sent, s)) {
        result.faults = 1;
        return result;
    }
    constexpr size_t kLookAhead = 4800;
    const size_t first = s;
    for (; r < received.Frames() && s < sent.Frames(); ++r) {
        if (received.FrameEquals(r, sent, s)) {
            ++s;
            continue;
        }
        if (s > first && received.FrameEquals(r, sent, s - 1)) {
            ++result.repeats;
            continue;
        }
        size_t ahead = 1;
        while (ahead < kLookAhead && s + ahead < sent.Frames() && !received.FrameEquals(r, sent, s + ahead)) ++ahead;
        if (s + ahead < sent.Frames() && ahead < kLookAhead) {
            ++result.gaps;
            s += ahead + 1;
            continue;
        }
        // Silence after the content is the stream ending.
        if (received.FrameSilent(r)) break;
        ++result.faults;
        ++s;
    }
    result.matched = s;
    result.first = first;
    return result;
}

// Samples of format.bits (16, 24 or 32) at the top of little-endian containers of the format's
// container size.
void Encode(const Samples& samples, size_t frame, size_t frames, const PinFormat& format, UCHAR* out) {
    const unsigned bytes = format.ContainerBits() / 8;
    const unsigned shift = format.ContainerBits() - format.bits;
    for (size_t i = 0; i < frames * samples.channels; ++i) {
        const uint32_t value = static_cast<uint32_t>(samples.values[frame * samples.channels + i]) << shift;
        for (unsigned b = 0; b < bytes; ++b) out[i * bytes + b] = static_cast<UCHAR>(value >> (8 * b));
    }
}

void Decode(const UCHAR* data, size_t length, const PinFormat& format, std::vector<int32_t>* out) {
    const unsigned bytes = format.ContainerBits() / 8;
    const unsigned unused = 32 - format.ContainerBits();
    const unsigned shift = format.ContainerBits() - format.bits;
    for (size_t at = 0; at + bytes <= length; at += bytes) {
        uint32_t value = 0;
        for (unsigned b = 0; b < bytes; ++b) value |= static_cast<uint32_t>(data[at + b]) << (8 * b);
        out->push_back(static_cast<int32_t>(value << unused) >> (unused + shift));
    }
}

// A tone's level and SINAD on one channel: the sine at hz is fitted to the samples (least squares
// on its two phases) and what is left over is noise and distortion. fullScale: the largest value.
struct ToneMeasure {
    double levelDb = -200;  // the fitted sine's amplitude against full scale
    double sinadDb = 0;
};

ToneMeasure MeasureTone(const Samples& samples, unsigned channel, double hz, unsigned rate, double fullScale) {
    ToneMeasure result;
    // The steady part: from the first to the last sound, 10 ms in from either end.
    size_t first = 0;
    size_t last = samples.Frames();
    while (first < last && samples.values[first * samples.channels + channel] == 0) ++first;
    while (last > first && samples.values[(last - 1) * samples.channels + channel] == 0) --last;
    const size_t edge = rate / 100;
    if (last - first <= 4 * edge) return result;
    first += edge;
    last -= edge;
    double ss = 0, cc = 0, sc = 0, sy = 0, cy = 0, yy = 0;
    const double step = 2.0 * M_PI * hz / rate;
    for (size_t n = first; n < last; ++n) {
        const double y = samples.values[n * samples.channels + channel];
        const double sn = std::sin(step * static_cast<double>(n));
        const double cn = std::cos(step * static_cast<double>(n));
        ss += sn * sn;
        cc += cn * cn;
        sc += sn * cn;
        sy += sn * y;
        cy += cn * y;
        yy += y * y;
    }
    const double det = ss * cc - sc * sc;
    if (det <= 0 || yy <= 0) return result;
    const double a = (sy * cc - cy * sc) / det;
    const double b = (cy * ss - sy * sc) / det;
    const double fitted = a * sy + b * cy;  // energy of the fitted sine
    const double rest = yy - fitted;
    result.levelDb = 20 * std::log10(std::sqrt(a * a + b * b) / fullScale);
    result.sinadDb = rest > 0 ? 10 * std::log10(fitted / rest) : 200;
    return result;
}

// A quarter of full scale: well below the limiter, so the samples pass the driver unchanged.
Samples Tone(double hz, const PinFormat& format, double seconds) {
    Samples tone;
    tone.channels = format.channels;
    const size_t frames = static_cast<size_t>(seconds * format.rate);
    const double scale = std::ldexp(0.25, static_cast<int>(format.bits) - 1);
    const double step = 2.0 * M_PI * hz / format.rate;
    tone.values.reserve(frames * format.channels);
    for (size_t n = 0; n < frames; ++n) {
        const auto value = static_cast<int32_t>(std::lround(scale * std::sin(step * static_cast<double>(n))));
        for (unsigned c = 0; c < format.channels; ++c) tone.values.push_back(value);
    }
    return tone;
}

// The filters of one direction, in registration order.
std::vector<sim::hosts::FilterInterface> WaveFilters(bool render) {
    return sim::hosts::FindFilters(render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE);
}

class Session : public DriverSession {
public:
    Session(const Options& options, std::ostream& out) : DriverSession(options, out, Line) {}

    // Loads the driver and plugs, adds and starts the device; false after printing why not.
    bool Start(const std::string& driverPath) {
        std::string label;
        std::unique_ptr<sim::usb::Device> device = MakeDevice(&label);
        return device && LoadDriver(driverPath) && PlugAndStart(std::move(device), label, true);
    }

    // Opens wave filter N of the direction; false after printing why not.
    bool OpenFilter(bool render) {
        std::vector<sim::hosts::FilterInterface> filters = WaveFilters(render);
        m_Out << (render ? "render" : "capture") << " wave filters (" << filters.size() << ")\n";
        for (size_t i = 0; i < filters.size(); ++i) {
            Line(m_Out, std::to_string(i + 1), Utf8(filters[i].referenceString));
        }
        if (m_Options.filterIndex >= filters.size()) {
            m_Out << "kvsim: no wave filter number " << m_Options.filterIndex + 1 << '\n';
            return false;
        }
        NTSTATUS status = sim::hosts::KsFilterClient::Open(filters[m_Options.filterIndex].symbolicLink, &m_Filter);
        if (!NT_SUCCESS(status)) Line(m_Out, "filter open", StatusText(status));
        return NT_SUCCESS(status);
    }

    // Opens the pin in the format. Without a container given, samples narrower than 32 bits also
    // try a 32-bit container (what UAC 2.0 devices carry 24 bits in) when their own size is
    // refused; *format then says which opened. A refusal names what the pin offers.
    bool OpenPin(PinFormat* format) {
        std::vector<unsigned> containers = {format->ContainerBits()};
        if (format->container == 0 && format->bits < 32) containers.push_back(32);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (unsigned container : containers) {
            status = sim::hosts::KsPinClient::Open(
                *m_Filter, 0,
                sim::hosts::WaveFormat(format->rate, static_cast<USHORT>(format->bits),
                                       static_cast<USHORT>(format->channels), false, static_cast<USHORT>(container)),
                &m_Pin);
            if (NT_SUCCESS(status)) {
                format->container = container != format->bits ? container : 0;
                break;
            }
        }
        Line(m_Out, "pin format", FormatText(format->rate, format->bits, format->channels, format->ContainerBits()));
        if (!NT_SUCCESS(status)) {
            Line(m_Out, "pin open", StatusText(status));
            ListOfferedFormats();
            return false;
        }
        status = m_Pin->SetState(KSSTATE_ACQUIRE);
        if (NT_SUCCESS(status)) status = m_Pin->SetState(KSSTATE_PAUSE);
        if (!NT_SUCCESS(status)) Line(m_Out, "pin open", StatusText(status));
        return NT_SUCCESS(status);
    }

    void ListOfferedFormats() {
        for (const std::string& offer : PinOffers(*m_Filter)) Line(m_Out, "pin offers", offer);
    }

    bool StopPin() {
        NTSTATUS status = STATUS_SUCCESS;
        for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
            const NTSTATUS step = m_Pin->SetState(state);
            if (NT_SUCCESS(status)) status = step;
        }
        if (!NT_SUCCESS(status)) Line(m_Out, "pin stop", StatusText(status));
        return NT_SUCCESS(status);
    }

    sim::usb::AudioFunction* Audio() { return Port() != nullptr ? sim::usb::DeviceOf(Port()).Audio() : nullptr; }
    sim::hosts::KsPinClient& Pin() { return *m_Pin; }

    // Closes what is open, removes the device and checks the verifier. The exit status.
    int Finish(bool ok) {
        m_Pin.reset();
        m_Filter.reset();
        if (Added()) m_Out << "removal\n";
        RemoveDevice();
        return DriverSession::Finish(ok);
    }

private:
    std::unique_ptr<sim::hosts::KsFilterClient> m_Filter;
    std::unique_ptr<sim::hosts::KsPinClient> m_Pin;
};

void ReportComparison(std::ostream& out, const Comparison& comparison, size_t sent) {
    Line(out, "gaps", std::to_string(comparison.gaps));
    Line(out, "repeats", std::to_string(comparison.repeats));
    Line(out, "sample-exact", comparison.SampleExact(sent) ? "yes" : "no");
}

// Audio converted on its way (another channel count or sample size at the device): a tone is
// judged by the level and SINAD of every device channel; other content cannot be judged.
constexpr double kMinimumSinadDb = 60;

bool JudgeConverted(std::ostream& out, const Options& options, const Samples& received, unsigned rate, unsigned bits) {
    Line(out, "sample-exact", "not compared (the pin and device formats differ)");
    if (options.toneHz <= 0) {
        Line(out, "audio check", "not done: only a tone (--tone) is judged through a conversion");
        return false;
    }
    bool ok = true;
    const double fullScale = std::ldexp(1.0, static_cast<int>(bits) - 1);
    for (unsigned c = 0; c < received.channels; ++c) {
        const ToneMeasure m = MeasureTone(received, c, options.toneHz, rate, fullScale);
        char text[96];
        std::snprintf(text, sizeof(text), "level %.1f dBFS, SINAD %.1f dB", m.levelDb, m.sinadDb);
        Line(out, "channel " + std::to_string(c + 1), text);
        ok = ok && m.levelDb > -60 && m.sinadDb >= kMinimumSinadDb;
    }
    Line(out, "audio check", ok ? "tone clean" : "tone missing or distorted");
    return ok;
}

// Sink samples as the containers hold them, brought down to their valid bits.
Samples ValidBits(const sim::usb::StreamFormat& format, std::vector<int32_t> values) {
    const unsigned shift = format.subslotBytes * 8u > format.bitResolution && format.bitResolution != 0
                               ? format.subslotBytes * 8u - format.bitResolution
                               : 0;
    for (int32_t& v : values) v >>= shift;
    return Samples{format.channels, std::move(values)};
}

bool Play(const Options& options, Session& session, std::ostream& out) {
    Samples content;
    PinFormat format = options.format;
    if (!options.inputFile.empty()) {
        sim::usb::detail::WavContents wav;
        std::string error;
        if (!sim::usb::detail::ReadWav(options.inputFile, &wav, &error)) {
            out << "kvsim: cannot read " << options.inputFile << ": " << error << '\n';
            return false;
        }
        // 8-bit content plays widened to 16 bits, exactly: no pin takes unsigned bytes.
        const unsigned bits = wav.bits == 8 ? 16u : wav.bits;
        if (wav.bits == 8) {
            for (int32_t& v : wav.samples) v *= 256;
            Line(out, "input", "8 bits, played as 16 bits");
        }
        if (format.rate == 0) format = {wav.rateHz, bits, wav.channels};
        if (format.channels != wav.channels || format.bits != bits) {
            out << "kvsim: the input is " << FormatText(wav.rateHz, wav.bits, wav.channels)
                << "; --format must keep its bits and channels (a container may be wider: "
                << wav.rateHz << "/" << bits << "in32/" << wav.channels << ")\n";
            return false;
        }
        content.channels = wav.channels;
        content.values = std::move(wav.samples);
        if (options.seconds > 0) content.values.resize(std::min(content.values.size(),
                                                                 static_cast<size_t>(options.seconds * format.rate) * format.channels));
    } else {
        if (format.rate == 0) format = {48000, 16, 2};
        content = Tone(options.toneHz, format, options.seconds > 0 ? options.seconds : 2.0);
    }
    if (!session.OpenFilter(true) || !session.OpenPin(&format)) return false;

    size_t sentFrames = 0;
    const unsigned frameBytes = format.channels * format.ContainerBits() / 8;
    sim::hosts::StreamRunStats stats;
    const sim::machine::Time duration =
        static_cast<sim::machine::Time>(content.Frames()) * sim::machine::kSecond / format.rate + kDrain;
    NTSTATUS status = session.Pin().Render(
        [&](UCHAR* data, size_t length) {
            const size_t frames = std::min(length / frameBytes, content.Frames() - sentFrames);
            Encode(content, sentFrames, frames, format, data);
            sentFrames += frames;
            return frames * frameBytes;
        },
        duration, &stats);
    Line(out, "render", StatusText(status));
    const bool stopped = session.StopPin();

    sim::usb::RenderSink* sink = nullptr;
    for (uint8_t i = 0; i < kMaxInterfaces && sink == nullptr; ++i) {
        sim::usb::RenderSink* candidate = session.Audio()->Render(i);
        if (candidate != nullptr && candidate->Frames() != 0) sink = candidate;
    }
    Line(out, "frames sent", std::to_string(sentFrames));
    if (sink == nullptr) {
        Line(out, "frames received", "0");
        return false;
    }
    const sim::usb::StreamFormat device = sink->Format();
    Line(out, "device format", FormatText(device.rateHz, device.bitResolution, device.channels));
    Line(out, "frames received", std::to_string(sink->Frames()));
    if (!sink->WriteWav(options.deviceOutput)) {
        out << "kvsim: cannot write " << options.deviceOutput << '\n';
        return false;
    }
    Line(out, "device output", options.deviceOutput);
    const Samples received = ValidBits(device, sink->Interleaved());
    const bool comparable =
        device.rateHz == format.rate && device.bitResolution == format.bits && device.channels == format.channels;
    bool judged = false;
    if (comparable) {
        const Comparison comparison = Compare(content, received, 0);
        ReportComparison(out, comparison, sentFrames);
        judged = comparison.SampleExact(sentFrames);
    } else {
        judged = JudgeConverted(out, options, received, device.rateHz, device.bitResolution);
    }
    Line(out, "position stalls", std::to_string(stats.positionStalls));
    return NT_SUCCESS(status) && stopped && judged && stats.positionStalls == 0;
}

bool Record(const Options& options, Session& session, std::ostream& out) {
    sim::usb::CaptureSource* source = nullptr;
    for (uint8_t i = 0; i < kMaxInterfaces && source == nullptr; ++i) source = session.Audio()->Capture(i);
    if (source == nullptr) {
        out << "kvsim: the device has no capture source\n";
        return false;
    }
    if (!options.deviceInput.empty()) {
        std::string error;
        if (!source->LoadWav(options.deviceInput, &error)) {
            out << "kvsim: cannot use " << options.deviceInput << ": " << error << '\n';
            return false;
        }
        sim::usb::CaptureSourceConfig config = source->Config();
        config.kind = sim::usb::SourceKind::Wav;
        source->Configure(config);
    }
    PinFormat format = options.format;
    if (format.rate == 0) format = {48000, 16, 2};
    if (!session.OpenFilter(false) || !session.OpenPin(&format)) return false;

    Samples captured;
    captured.channels = format.channels;
    sim::hosts::StreamRunStats stats;
    const double seconds = options.seconds > 0 ? options.seconds : 2.0;
    NTSTATUS status = session.Pin().Capture(
        [&](const UCHAR* data, size_t length) { Decode(data, length, format, &captured.values); },
        static_cast<sim::machine::Time>(seconds * 1000) * kMs, &stats);
    Line(out, "capture", StatusText(status));
    const bool stopped = session.StopPin();

    const sim::usb::StreamFormat device = source->Format();
    Line(out, "device format", FormatText(device.rateHz, device.bitResolution, device.channels));
    Line(out, "frames sent", std::to_string(source->FramesProduced()));
    Line(out, "frames received", std::to_string(captured.Frames()));
    if (!sim::usb::detail::WriteWav(options.output, static_cast<uint16_t>(format.channels),
                                    static_cast<uint16_t>(format.bits / 8), format.rate, captured.values)) {
        out << "kvsim: cannot write " << options.output << '\n';
        return false;
    }
    Line(out, "output", options.output);
    const bool comparable =
        device.rateHz == format.rate && device.bitResolution == format.bits && device.channels == format.channels;
    // What the source played, frame by frame, as far as it got.
    Samples played{device.channels, {}};
    for (uint64_t n = 0; comparable && n < source->FramesProduced(); ++n) {
        for (unsigned c = 0; c < device.channels; ++c) played.values.push_back(source->Value(n, c));
    }
    if (!comparable) {
        Line(out, "sample-exact", "not compared (the pin and device formats differ)");
        Line(out, "audio check", "not done: captured audio is checked only in the device's own format");
        return false;
    }
    const Comparison comparison = Compare(played, captured, played.Frames());
    // The pin hears the source from where its stream started and stops before the source does.
    size_t received = comparison.matched;
    ReportComparison(out, comparison, received);
    const bool exact = comparison.SampleExact(received);
    return NT_SUCCESS(status) && stopped && exact;
}

}  // namespace

int RunStream(const Options& options, const std::string& driverPath, std::ostream& out) {
    Session session(options, out);
    bool ok = session.Start(driverPath);
    if (ok) ok = options.command == Command::Play ? Play(options, session, out) : Record(options, session, out);
    return session.Finish(ok);
}

}  // namespace kvsim
