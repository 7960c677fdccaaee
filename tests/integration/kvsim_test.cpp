// The simulator tool end to end: `kvsim info` runs the real driver module on a catalog device or a
// descriptor file, reports the start and the HAL choice, and exits 0 with a clean verifier; bad
// command lines and devices exit 2.
#include <gtest/gtest.h>
#include <sim/usb_device.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct KvsimRun {
    int exitCode = -1;
    std::string output;
};

KvsimRun RunKvsim(const std::string& arguments) {
    KvsimRun run;
    std::string command = std::string(KVSIM_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, got);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A sysfs `descriptors` file of a catalog device: its device descriptor, then its configuration.
std::string WriteDescriptorFile(const char* catalogName) {
    std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(catalogName);
    std::string path = testing::TempDir() + "kvsim_descriptors_" + std::to_string(getpid());
    std::ofstream file(path, std::ios::binary);
    for (std::span<const uint8_t> bytes : {device->DeviceDescriptorBytes(), device->ConfigurationBytes(0)}) {
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

// "@wav:RATE:BITS:CHANNELS": a PCM WAV file of 0.3 s of seeded noise in that layout (8-bit
// samples unsigned, as the format has them); "@wav:RATE:BITS:CHANNELS:silent" the same of silence.
std::string WriteNoiseWav(const std::string& spec) {
    unsigned rate = 0, bits = 0, channels = 0;
    char kind[8] = {};
    if (std::sscanf(spec.c_str(), "@wav:%u:%u:%u:%7s", &rate, &bits, &channels, kind) < 3) return {};
    const bool silent = std::string(kind) == "silent";
    const unsigned bytes = bits / 8;
    const uint32_t dataBytes = rate * 3 / 10 * channels * bytes;
    std::string path = testing::TempDir() + "kvsim_noise_" + std::to_string(getpid()) + ".wav";
    std::ofstream file(path, std::ios::binary);
    auto put = [&](uint32_t value, unsigned size) {
        for (unsigned i = 0; i < size; ++i) file.put(static_cast<char>(value >> (8 * i)));
    };
    file.write("RIFF", 4);
    put(36 + dataBytes, 4);
    file.write("WAVEfmt ", 8);
    put(16, 4);
    put(1, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * bytes, 4);
    put(channels * bytes, 2);
    put(bits, 2);
    file.write("data", 4);
    put(dataBytes, 4);
    std::mt19937 random(rate + bits * 7 + channels * 131);
    const int32_t quarter = static_cast<int32_t>(1u << (bits - 3));
    std::uniform_int_distribution<int32_t> value(-quarter, quarter);
    for (uint32_t at = 0; at < dataBytes; at += bytes) {
        put(static_cast<uint32_t>((silent ? 0 : value(random)) + (bits == 8 ? 128 : 0)), bytes);
    }
    return file ? path : std::string();
}

struct KvsimCase {
    const char* name;
    std::string arguments;
    int exitCode;
    std::vector<std::string> expected;  // lines (or parts) the output must hold
};

class Kvsim : public testing::TestWithParam<KvsimCase> {};

TEST_P(Kvsim, Reports) {
    const KvsimCase& c = GetParam();
    std::string arguments = c.arguments;
    std::string file;
    if (arguments.find("@uac2") != std::string::npos) {
        file = WriteDescriptorFile("uac2");
        arguments.replace(arguments.find("@uac2"), 5, file);
    } else if (const size_t at = arguments.find("@wav:"); at != std::string::npos) {
        const size_t end = arguments.find(' ', at);
        file = WriteNoiseWav(arguments.substr(at, end - at));
        ASSERT_FALSE(file.empty());
        arguments.replace(at, end - at, file);
    }
    KvsimRun run = RunKvsim(arguments);
    if (!file.empty()) std::remove(file.c_str());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    for (const std::string& text : c.expected)
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
}

const std::string kClean = "unload                   clean";

INSTANTIATE_TEST_SUITE_P(
    Commands, Kvsim,
    testing::Values(
        KvsimCase{"DefaultDevice",
                  "info",
                  0,
                  {"DriverEntry              STATUS_SUCCESS", "AddDevice                STATUS_SUCCESS",
                   "HAL chosen               Uac1AudioHal", "KLASIOPrivateInterface", "KLEnumPrivateInterface",
                   "REMOVE                   STATUS_SUCCESS", kClean,
                   "engine 0                 render, endpoint type SPK, isochronous",
                   "path                   9 output connector, 7 mute, 8 volume, 6 selector, 4 input connector",
                   "format                 48000 Hz, 2 ch, 24/24 bits, mask 0x3",
                   "control 6              selector <- 4,5 = input 1"}},
        KvsimCase{"Uac2WithUsbLog",
                  "info --device uac2 --usb-log",
                  0,
                  {"HAL chosen               Uac2AudioHal", "USB requests", "SET_CONFIGURATION 1", kClean}},
        KvsimCase{"Uac2Model",
                  "info --device uac2",
                  0,
                  {"unit 40                  descriptor subtype 10 (clock source)",
                   "rates                  48000, 44100, 88200, 96000, 176400, 192000", "current                48000 Hz",
                   "valid                  yes", "unit 2                   descriptor subtype 6 (feature unit) <- 1",
                   "control 3              volume <- 1 = 0.00 dB, 0.00 dB", "types                  SPK (current)",
                   "path                   4 output connector, 2 mute, 3 volume, 1 input connector",
                   "format                 192000 Hz, 2 ch, 24/32 bits, mask 0x3, alt 1, align 8, sub-format 0x0001",
                   kClean}},
        KvsimCase{"Uac2FullSpeedModel",
                  "info --device uac2-fs",
                  0,
                  {"HAL chosen               Uac2AudioHal", "rates                  48000, 44100, 88200, 96000",
                   "format                 44100 Hz, 2 ch, 16/16 bits, mask 0x3, alt 2, align 4, sub-format 0x0001",
                   kClean}},
        KvsimCase{"Uac2Play",
                  "play --device uac2 --tone 440 --seconds 1 --device-output /dev/null",
                  0,
                  {"SPKOut00Wave", "gaps                     0", "sample-exact             yes", kClean}},
        KvsimCase{"Uac2Record",
                  "record --device uac2 --seconds 1 --output /dev/null",
                  0,
                  {"MicIn00Wave", "gaps                     0", "sample-exact             yes", kClean}},
        KvsimCase{"ModelIdentifier", "info --device uac1-w4m3", 0, {"W4M3AudioHal", "string 0x50 \"KLQ866\"", kClean}},
        // The W4M3 model: its effect switches are stages of the render engine, whose formats are
        // offered as eight channels; an eight-channel play reaches the stereo device.
        KvsimCase{"W4M3Model",
                  "info --device uac1-w4m3",
                  0,
                  {"effect switches          room 0, headphone 0",
                   "path                   5 output connector, 1 mute, 2 volume, 3 vendor, 4 vendor, 0 input connector",
                   "stage                  control 3 vendor {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13} off",
                   "stage                  control 4 vendor {C7600B33-1AA6-4383-918D-30D848BBAD3E} off",
                   "format                 48000 Hz, 8 ch, 16/16 bits, mask 0x63F, alt 1, align 16, sub-format 0x0001",
                   "unit 9                   descriptor subtype 6 (feature unit) <- 4", kClean}},
        KvsimCase{"W4M3PlaysEightChannels",
                  "play --device uac1-w4m3 --format 48000/16/8 --tone 1000 --seconds 0.3 --device-output /dev/null",
                  0,
                  {"render                   STATUS_SUCCESS", "device format            48000 Hz, 16 bits, 2 channels",
                   "sample-exact             not compared", "audio check              tone clean",
                   "position stalls          0", kClean}},
        // Content other than a tone cannot be judged through the down-mix: the run says so and fails.
        KvsimCase{"W4M3ConvertedContentIsNotJudged",
                  "play --device uac1-w4m3 --input @wav:48000:16:8 --device-output /dev/null", 1,
                  {"audio check              not done", kClean}},
        // Files as users have them: 44.1 kHz, 24 bits (in a 32-bit container on UAC 2.0), 8 bits.
        KvsimCase{"Play44kWavSampleExact", "play --device uac1 --input @wav:44100:16:2 --device-output /dev/null", 0,
                  {"pin format               44100 Hz, 16 bits, 2 channels", "sample-exact             yes", kClean}},
        KvsimCase{"Uac2Takes24BitWavIn32BitContainers",
                  "play --device uac2 --input @wav:44100:24:2 --device-output /dev/null", 0,
                  {"pin format               44100 Hz, 24 bits in 32, 2 channels", "sample-exact             yes", kClean}},
        KvsimCase{"EightBitWavPlaysWidened", "play --device uac1 --input @wav:44100:8:2 --device-output /dev/null", 0,
                  {"8 bits, played as 16 bits", "sample-exact             yes", kClean}},
        KvsimCase{"FormatWithContainer",
                  "play --device uac2 --format 96000/24in32/2 --tone 1000 --seconds 0.2 --device-output /dev/null", 0,
                  {"pin format               96000 Hz, 24 bits in 32, 2 channels", "sample-exact             yes", kClean}},
        KvsimCase{"RefusedFormatNamesWhatThePinOffers",
                  "play --device uac2 --format 48000/24in24/2 --tone 1000 --device-output /dev/null", 1,
                  {"pin open                 STATUS_INVALID_PARAMETER",
                   "pin offers               PCM 44100-192000 Hz, 16-24 bits, up to 2 channels", kClean}},
        // The playback mixer also takes the two monitors: the render path reaches the streaming
        // terminal through it, and the wave filter connects to the topology filter.
        KvsimCase{"R7T5StartsWithItsPlaybackMixer",
                  "info --device uac1-r7t5",
                  0,
                  {"START                    STATUS_SUCCESS", "HAL chosen               R7T5AudioHal",
                   "path                   9 output connector, 7 mute, 8 volume, 6 mixer, 0 input connector",
                   "connection               SPKOut00Wave pin 1 -> GlobalTopo pin 1",
                   "wave pin SPKOut00Wave    PCM 44100-48000 Hz, 16-16 bits, up to 6 channels", kClean}},
        KvsimCase{"R7T5PlaysThroughItsPlaybackMixer",
                  "play --device uac1-r7t5 --tone 1000 --seconds 0.2 --device-output /dev/null",
                  0,
                  {"render                   STATUS_SUCCESS", "gaps                     0", "sample-exact             yes",
                   kClean}},
        // The R7T3 and R7U5 models: their feature units' values in the interface's scale, every
        // engine installed and connected.
        KvsimCase{"R7T3StartsWithItsModelUnits",
                  "info --device uac1-r7t3",
                  0,
                  {"START                    STATUS_SUCCESS", "HAL chosen               R7T3AudioHal",
                   "path                   5 output connector, 1 mute, 2 volume, 3 bass, 4 treble, 0 input connector",
                   "control 8              volume <- 6 = -2.64 dB", "control 11             volume <- 9 = 6.00 dB, 6.00 dB",
                   "connection               GlobalTopo pin 0 -> RecIn00Wave pin 1", kClean}},
        KvsimCase{"R7U5StartsWithItsModelUnits",
                  "info --device uac1-r7u5",
                  0,
                  {"START                    STATUS_SUCCESS", "HAL chosen               R7U5AudioHal",
                   "path                   9 output connector, 7 mute, 8 volume, 5 mute, 6 volume, 4 input connector",
                   "control 2              volume <- 0 = 0.00 dB, 0.00 dB",
                   "connection               GlobalTopo pin 0 -> MicIn00Wave pin 1", kClean}},
        KvsimCase{"R7T3Plays",
                  "play --device uac1-r7t3 --tone 1000 --seconds 0.2 --device-output /dev/null",
                  0,
                  {"render                   STATUS_SUCCESS", "gaps                     0", "sample-exact             yes",
                   kClean}},
        KvsimCase{"R7U5Plays",
                  "play --device uac1-r7u5 --tone 1000 --seconds 0.2 --device-output /dev/null",
                  0,
                  {"render                   STATUS_SUCCESS", "gaps                     0", "sample-exact             yes",
                   kClean}},
        KvsimCase{"DescriptorFile", "info --descriptors @uac2", 0, {"(descriptor file)", "Uac2AudioHal", kClean}},
        KvsimCase{"DescriptorFileAtFullSpeed", "info --descriptors @uac2 --speed full", 0,
                  {"port 1, full speed", "Uac2AudioHal", kClean}},
        KvsimCase{"SpeedOfACatalogDevice", "info --device uac2 --speed full", 2, {"--speed goes with --descriptors"}},
        KvsimCase{"BadSpeed", "info --descriptors @uac2 --speed fast", 2, {"--speed needs full or high"}},
        // The ASIO road through the driver: registered, loaded by a host, streamed on the worker.
        KvsimCase{"Asio48k",
                  "asio --device uac1-klq864 --seconds 1",
                  0,
                  {"DllRegisterServer        S_OK", "output 1", "sample rate              48000 Hz",
                   "time info                bufferSwitchTimeInfo", "host process             ended with no handle open",
                   kClean}},
        KvsimCase{"AsioPanelChoicesAt44k",
                  "asio --device uac1-klq864 --seconds 1 --rate 44100 --bits 24/24 --latency 10",
                  0,
                  {"Int24LSB", "sample rate              44100 Hz", kClean}},
        // The device returns what it played, 128 frames later: the outputs' pattern comes back
        // whole, over more than 65,536 frames, at both rates (44.1 kHz: transfers of 88 or 89 frames).
        KvsimCase{"AsioLoopback48k",
                  "asio --device uac1-klq864 --seconds 3 --loopback",
                  0,
                  {"round trip: 1088 samples measured, 480 + 480 reported, sample-exact: yes", "latencies agree          yes",
                   kClean}},
        KvsimCase{"AsioLoopback44k",
                  "asio --device uac1-klq864 --seconds 3 --loopback --rate 44100",
                  0,
                  {"round trip: 1009 samples measured, 440 + 441 reported, sample-exact: yes", "latencies agree          yes",
                   kClean}},
        KvsimCase{"AsioLoopbackWithoutOutputs", "asio --device uac2 --seconds 0.3 --loopback", 0,
                  {"round trip: not measured, the device has no ASIO outputs to loop back", kClean}},
        KvsimCase{"AsioBadBits", "asio --bits 8/8", 2, {"--bits needs"}},
        // Choices the driver's panel does not list for this device were once ignored silently and
        // the run went on with the stored settings.
        KvsimCase{"AsioPanelWithoutTheChoices",
                  "asio --device uac1-klq864 --seconds 0.3 --bits 32/32 --latency 5",
                  2,
                  {"--bits: the panel has no \"32/32 Bits\" (it offers 16/16 Bits, 24/24 Bits)",
                   "--latency: the panel has no \"5 ms\" (it offers 2 ms, 4 ms,", kClean}},
        KvsimCase{"AsioRateNotOffered",
                  "asio --device uac1-klq864 --seconds 0.3 --rate 96000",
                  2,
                  {"setup                    failed (ASE_NoClock, -995)",
                   "kvsim: --rate: the driver offers no 96000 Hz (it offers 44100 48000)", kClean}},
        KvsimCase{"ControlsSetAndReplug",
                  "controls --set 3=-6.5 --set 3.1=-20 --set 4=1 --set 2=2 --replug",
                  0,
                  {"node 3  volume", "-60.00 dB .. 0.00 dB, step 0.50 dB; 2 channels: [0] 0.00 dB [1] 0.00 dB",
                   "3.1=-20  STATUS_SUCCESS", "replug",
                   "2 channels: [0] -6.50 dB [1] -20.00 dB\n  node 4  mute                 1 channel: on\nREMOVE",
                   "node 2  mux                 : input 2", kClean}},
        KvsimCase{"ControlsNodeOutsideTheFilterIsRefused", "controls --device uac1-klq864 --set 0=1 --set 9=0", 1,
                  {"9=0  STATUS_INVALID_PARAMETER", "events", kClean}},
        KvsimCase{"ControlsBadSet", "controls --set 3=loud", 2, {"--set needs NODE[.CHANNEL]=VALUE"}},
        // --setting reaches the driver in every command that starts a device, at its own size.
        KvsimCase{"SettingFailsTheStartOfControls",
                  "controls --device uac1-r7t5 --setting Disable6ChOutSupported=1 --setting Disable8ChOutSupported=0x1",
                  1,
                  {"setting                  Disable6ChOutSupported = 1",
                   "setting                  Disable8ChOutSupported = 1", "START                    STATUS_UNSUCCESSFUL"}},
        KvsimCase{"SettingFailsTheStartOfAsio",
                  "asio --device uac1-r7t5 --setting Disable6ChOutSupported=1 --setting Disable8ChOutSupported=1",
                  1,
                  {"START                    STATUS_UNSUCCESSFUL"}},
        KvsimCase{"SettingFailsTheStartOfPlay",
                  "play --device uac1-r7t5 --tone 440 --seconds 0.1 --device-output /dev/null "
                  "--setting Disable6ChOutSupported=1 --setting Disable8ChOutSupported=1",
                  1,
                  {"START                    STATUS_UNSUCCESSFUL"}},
        KvsimCase{"OneByteSettingSwitchesTheRoomEffect",
                  "info --device uac1-w4m3 --setting Unit03_=1:1",
                  0,
                  {"setting                  Unit03_ = 1 (1 byte)",
                   "stage                  control 3 vendor {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13} on", kClean}},
        KvsimCase{"SettingWithBlanks", "info --setting 'A= 5'", 2, {"--setting needs NAME=VALUE[:BYTES]"}},
        KvsimCase{"SettingTooWideForItsSize", "info --setting A=0x100:1", 2, {"--setting needs NAME=VALUE[:BYTES]"}},
        KvsimCase{"SettingOfAnOddSize", "controls --setting A=5:3", 2, {"--setting needs NAME=VALUE[:BYTES]"}},
        KvsimCase{"Help", "--help", 0, {"usage: kvsim info", "uac1", "uac2", "kvsim controls", "kvsim asio"}},
        KvsimCase{"UnknownDevice", "info --device nothing", 2, {"no device 'nothing'"}},
        KvsimCase{"MissingDescriptorFile", "info --descriptors /nonexistent/descriptors", 2, {"cannot use"}},
        KvsimCase{"TwoDevices", "info --device uac1 --device uac2", 2, {"give one device"}},
        KvsimCase{"UnknownOption", "info --fast", 2, {"unknown option '--fast'"}},
        KvsimCase{"PlayWithoutSource", "play --device-output /dev/null", 2, {"play needs one source"}},
        KvsimCase{"PlayWithTwoSources", "play --tone 440 --input a.wav --device-output /dev/null", 2,
                  {"play needs one source"}},
        KvsimCase{"PlayWithoutOutput", "play --tone 440", 2, {"play needs --device-output"}},
        KvsimCase{"PlayBadFormat", "play --tone 440 --format 48000/12/2 --device-output /dev/null", 2,
                  {"--format needs RATE/BITS/CHANNELS"}},
        KvsimCase{"RecordWithoutOutput", "record --seconds 1", 2, {"record needs --output"}},
        KvsimCase{"RecordTakesNoTone", "record --tone 440 --output /dev/null", 2, {"unknown option '--tone'"}},
        // Nothing to compare is no proof: silence captured is never called sample-exact.
        KvsimCase{"RecordOfSilenceIsNotSampleExact",
                  "record --device uac1 --device-input @wav:48000:16:2:silent --output /dev/null --seconds 0.1", 1,
                  {"sample-exact             no"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- kvsim asio over every rate and buffer size of every ASIO device ----

// The value after `label` on its report line ("" when there is none).
std::string ReportValue(const std::string& output, const std::string& label) {
    const size_t at = output.find("  " + label);
    if (at == std::string::npos) return "";
    const size_t end = output.find('\n', at);
    std::string line = output.substr(at + 2 + label.size(), end - at - 2 - label.size());
    line.erase(0, line.find_first_not_of(' '));
    return line;
}

class KvsimAsioMatrix : public testing::TestWithParam<const char*> {};

// At every rate the device offers and at the smallest, twice the smallest, the preferred and the
// largest buffer, kvsim asio exits 0; a device with outputs loops a 16- or 24-bit file back
// sample-exact with latencies that agree with the round trip. KV_KVSIM_MATRIX_SECONDS lengthens
// each run (0.4 s by default: the loopback's probe lies 8,192 frames in).
TEST_P(KvsimAsioMatrix, EveryRateAndBufferSizeIsSampleExact) {
    const std::string device = GetParam();
    const char* long_form = std::getenv("KV_KVSIM_MATRIX_SECONDS");
    const std::string seconds = long_form != nullptr ? long_form : "0.4";
    const KvsimRun probe = RunKvsim("asio --device " + device + " --seconds 0.05");
    ASSERT_EQ(probe.exitCode, 0) << probe.output;
    const bool outputs = probe.output.find("  output 0") != std::string::npos;
    std::istringstream rates(ReportValue(probe.output, "rates offered"));
    int runs = 0;
    for (std::string rate; rates >> rate;) {
        const KvsimRun atRate = RunKvsim("asio --device " + device + " --rate " + rate + " --seconds 0.05");
        ASSERT_EQ(atRate.exitCode, 0) << atRate.output;
        unsigned minimum = 0, maximum = 0, preferred = 0;
        ASSERT_EQ(std::sscanf(ReportValue(atRate.output, "buffer sizes").c_str(), "min %u, max %u, preferred %u", &minimum,
                              &maximum, &preferred),
                  3);
        for (unsigned frames : {minimum, 2 * minimum, preferred, maximum}) {
            std::string arguments = "asio --device " + device + " --rate " + rate + " --buffer " + std::to_string(frames) +
                                    " --seconds " + seconds;
            // Noise never repeats within a run's probe, so the loopback finds one delay.
            const std::string file = outputs ? WriteNoiseWav(runs % 2 == 0 ? "@wav:48000:16:2" : "@wav:48000:24:2") : "";
            if (outputs) arguments += " --loopback --input " + file;
            SCOPED_TRACE(arguments);
            const KvsimRun run = RunKvsim(arguments);
            if (!file.empty()) std::remove(file.c_str());
            EXPECT_EQ(run.exitCode, 0) << run.output;
            if (outputs) {
                EXPECT_NE(run.output.find("sample-exact: yes"), std::string::npos) << run.output;
                EXPECT_EQ(ReportValue(run.output, "latencies agree").substr(0, 3), "yes") << run.output;
            }
            ++runs;
        }
    }
    EXPECT_GT(runs, 0);
}

INSTANTIATE_TEST_SUITE_P(AsioCatalog, KvsimAsioMatrix,
                         testing::Values("uac1-klq864", "uac1-asio-vr7", "uac1-asio-vr7-stall", "uac1-asio-blanks",
                                         "uac1-asio-lying", "uac1-asio-odd", "uac1-asio-short", "uac1-asio-noproduct",
                                         "uac2", "uac2-fs", "uac2-b1", "uac2-b2", "uac2-b3", "uac2-b4", "uac2-vendor"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// UAC 2.0 devices that differ from the catalog's in ordinary ways play and record sample-exact:
// "@data/NAME" is the descriptor set tests/data/NAME.
class KvsimSampleExact : public testing::TestWithParam<KvsimCase> {};

TEST_P(KvsimSampleExact, Streams) {
    const KvsimCase& c = GetParam();
    std::string arguments = c.arguments;
    if (const size_t at = arguments.find("@data/"); at != std::string::npos) {
        arguments.replace(at, 6, std::string(KV_TEST_DATA_DIR) + "/");
        const size_t end = arguments.find(' ', at);
        arguments.insert(end == std::string::npos ? arguments.size() : end, "/descriptors");
    }
    KvsimRun run = RunKvsim(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    for (const std::string& text : c.expected)
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
    // Sample-exact says nothing when nothing arrived.
    const size_t received = run.output.find("frames received");
    ASSERT_NE(received, std::string::npos) << run.output;
    EXPECT_GT(std::stoull(run.output.substr(received + 15)), 1000u) << run.output;
}

const std::vector<std::string> kExact = {"STATUS_SUCCESS", "gaps                     0",
                                         "sample-exact             yes", kClean};

INSTANTIATE_TEST_SUITE_P(
    Uac2Devices, KvsimSampleExact,
    testing::Values(
        KvsimCase{"FixedClock",
                  "play --descriptors @data/uac2-headphones --format 48000/16/2 --tone 440 --seconds 0.5 "
                  "--device-output /dev/null",
                  0, kExact},
        KvsimCase{"ChannelMaskZeroPlayback",
                  "play --descriptors @data/uac2-mask0 --format 48000/16/2 --tone 440 --seconds 0.5 "
                  "--device-output /dev/null",
                  0, kExact},
        KvsimCase{"ChannelMaskZeroCapture",
                  "record --descriptors @data/uac2-mask0 --format 48000/16/2 --seconds 0.5 --output /dev/null", 0,
                  kExact},
        KvsimCase{"FourByteFullSpeedFeedback",
                  "play --device uac2-fs4 --tone 440 --seconds 0.5 --device-output /dev/null", 0, kExact},
        KvsimCase{"ImplicitFeedbackCapture", "record --device uac2-implicit --seconds 0.5 --output /dev/null", 0, kExact},
        KvsimCase{"ImplicitFeedbackPlayback",
                  "play --device uac2-implicit --tone 440 --seconds 0.5 --device-output /dev/null", 0, kExact}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
