#include "options.h"

#include <sim/usb_device.h>

#include <cstdio>
#include <cstdlib>

namespace kvsim {
namespace {

bool IsStreamOption(const std::string& option) {
    return option == "--input" || option == "--tone" || option == "--seconds" || option == "--format" ||
           option == "--filter" || option == "--device-output" || option == "--device-input" || option == "--output";
}

// A positive number, the whole text of it.
bool ParseNumber(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == 0 && *value > 0 && *value < 1e9;
}

bool ParseFormat(const std::string& text, PinFormat* format) {
    unsigned rate = 0, bits = 0, channels = 0, container = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u/%uin%u/%u%c", &rate, &bits, &container, &channels, &tail) != 4) {
        container = 0;
        if (std::sscanf(text.c_str(), "%u/%u/%u%c", &rate, &bits, &channels, &tail) != 3) return false;
    }
    if (rate < 8000 || rate > 384000 || (bits != 16 && bits != 24 && bits != 32) || channels < 1 || channels > 8) {
        return false;
    }
    if (container != 0 && (container < bits || (container != 16 && container != 24 && container != 32))) return false;
    *format = {rate, bits, channels, container};
    return true;
}

bool ParseStreamOption(const std::string& option, const std::string& value, Options* options, std::string* error) {
    const bool play = options->command == Command::Play;
    double number = 0;
    if (option == "--input" && play) {
        options->inputFile = value;
    } else if (option == "--tone" && play) {
        if (!ParseNumber(value, &options->toneHz) || options->toneHz >= 100000) {
            *error = "--tone needs a frequency in Hz";
            return false;
        }
    } else if (option == "--seconds") {
        if (!ParseNumber(value, &options->seconds) || options->seconds > 3600) {
            *error = "--seconds needs a positive number of seconds (at most 3600)";
            return false;
        }
    } else if (option == "--format") {
        if (!ParseFormat(value, &options->format)) {
            *error = "--format needs RATE/BITS/CHANNELS or RATE/BITSinCONTAINER/CHANNELS (bits 16, 24 or 32, "
                     "a container at least as wide; 1 to 8 channels)";
            return false;
        }
    } else if (option == "--filter") {
        if (!ParseNumber(value, &number) || number != static_cast<unsigned>(number)) {
            *error = "--filter needs a filter number (1 is the first)";
            return false;
        }
        options->filterIndex = static_cast<unsigned>(number) - 1;
    } else if (option == "--device-output" && play) {
        options->deviceOutput = value;
    } else if (option == "--device-input" && !play) {
        options->deviceInput = value;
    } else if (option == "--output" && !play) {
        options->output = value;
    } else {
        *error = "unknown option '" + option + "'";
        return false;
    }
    return true;
}

bool ParseAsioOption(const std::string& option, const std::string& value, Options* options, std::string* error) {
    double number = 0;
    const bool whole = ParseNumber(value, &number) && number == static_cast<unsigned>(number);
    if (option == "--rate") {
        if (!whole || number < 8000 || number > 768000) {
            *error = "--rate needs a sample rate in Hz";
            return false;
        }
        options->asioRate = static_cast<unsigned>(number);
    } else if (option == "--buffer") {
        if (!whole || number > 65536) {
            *error = "--buffer needs a buffer size in frames";
            return false;
        }
        options->asioBuffer = static_cast<unsigned>(number);
    } else if (option == "--seconds") {
        if (!ParseNumber(value, &options->seconds) || options->seconds > 3600) {
            *error = "--seconds needs a positive number of seconds (at most 3600)";
            return false;
        }
    } else if (option == "--input") {
        options->inputFile = value;
    } else if (option == "--output") {
        options->output = value;
    } else if (option == "--bits") {
        if (value != "16/16" && value != "24/24" && value != "32/24" && value != "32/32") {
            *error = "--bits needs 16/16, 24/24, 32/24 or 32/32";
            return false;
        }
        options->bits = value;
    } else if (option == "--latency") {
        if (!whole || number > 1000) {
            *error = "--latency needs milliseconds";
            return false;
        }
        options->latencyMs = static_cast<unsigned>(number);
    } else {
        *error = "unknown option '" + option + "'";
        return false;
    }
    return true;
}

// NODE[.CHANNEL]=VALUE, VALUE a number with an optional "dB".
bool ParseSetting(const std::string& text, ControlSetting* setting) {
    unsigned node = 0;
    int channel = -1;
    int consumed = 0;
    const char* p = text.c_str();
    if (std::sscanf(p, "%u%n", &node, &consumed) != 1) return false;
    p += consumed;
    if (*p == '.') {
        if (std::sscanf(p + 1, "%d%n", &channel, &consumed) != 1 || channel < 0) return false;
        p += 1 + consumed;
    }
    if (*p++ != '=') return false;
    char* end = nullptr;
    const double value = std::strtod(p, &end);
    if (end == p) return false;
    const std::string unit(end);
    if (!unit.empty() && unit != "dB" && unit != "db") return false;
    if (value < -32768.0 || value > 32767.0) return false;
    *setting = {node, channel, value, text};
    return true;
}

bool CheckStreamOptions(const Options& options, std::string* error) {
    if (options.command == Command::Play) {
        if (options.inputFile.empty() == (options.toneHz == 0)) {
            *error = "play needs one source: --input FILE.wav or --tone HZ";
            return false;
        }
        if (options.deviceOutput.empty()) {
            *error = "play needs --device-output FILE.wav";
            return false;
        }
    }
    if (options.command == Command::Record && options.output.empty()) {
        *error = "record needs --output FILE.wav";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& arguments, Options* options, std::string* error) {
    *options = Options{};
    if (arguments.empty()) return true;  // help
    size_t next = 0;
    const std::string& command = arguments[next++];
    if (command == "--help" || command == "-h" || command == "help") return true;
    if (command == "info") {
        options->command = Command::Info;
    } else if (command == "play") {
        options->command = Command::Play;
    } else if (command == "record") {
        options->command = Command::Record;
    } else if (command == "asio") {
        options->command = Command::Asio;
    } else if (command == "controls") {
        options->command = Command::Controls;
    } else {
        *error = "unknown command '" + command + "'";
        return false;
    }
    const bool streams = options->command == Command::Play || options->command == Command::Record;
    const bool asio = options->command == Command::Asio;
    const bool controls = options->command == Command::Controls;
    bool deviceGiven = false;
    while (next < arguments.size()) {
        const std::string& option = arguments[next++];
        if (option == "--help" || option == "-h") {
            options->command = Command::Help;
            return true;
        }
        if (option == "--usb-log") {
            options->usbLog = true;
        } else if (option == "--setting") {
            DriverSetting setting;
            if (next == arguments.size() || !ParseDriverSetting(arguments[next++], &setting)) {
                *error = "--setting needs NAME=VALUE[:BYTES] (VALUE decimal or 0x hexadecimal, BYTES 1, 2 or 4)";
                return false;
            }
            options->settings.push_back(setting);
        } else if (option == "--speed") {
            const std::string value = next < arguments.size() ? arguments[next++] : std::string();
            if (value != "full" && value != "high") {
                *error = "--speed needs full or high";
                return false;
            }
            options->speed = value == "full" ? Options::BusSpeed::Full : Options::BusSpeed::High;
        } else if (asio && option == "--loopback") {
            options->loopback = true;
        } else if (asio && (option == "--rate" || option == "--buffer" || option == "--seconds" || option == "--input" ||
                            option == "--output" || option == "--bits" || option == "--latency")) {
            if (next == arguments.size() || arguments[next].empty()) {
                *error = option + " needs a value";
                return false;
            }
            if (!ParseAsioOption(option, arguments[next++], options, error)) return false;
        } else if (option == "--device" || option == "--descriptors") {
            if (next == arguments.size() || arguments[next].empty()) {
                *error = option + " needs a value";
                return false;
            }
            if (deviceGiven) {
                *error = "give one device: --device NAME or --descriptors FILE";
                return false;
            }
            deviceGiven = true;
            (option == "--device" ? options->device : options->descriptorFile) = arguments[next++];
        } else if (controls && (option == "--set" || option == "--replug")) {
            if (option == "--replug") {
                options->replug = true;
                continue;
            }
            ControlSetting setting;
            if (next == arguments.size() || !ParseSetting(arguments[next], &setting)) {
                *error = "--set needs NODE[.CHANNEL]=VALUE (VALUE in dB for levels, 0 or 1 for switches, the "
                         "input number for a mux)";
                return false;
            }
            ++next;
            options->sets.push_back(setting);
        } else if (streams && IsStreamOption(option)) {
            if (next == arguments.size() || arguments[next].empty()) {
                *error = option + " needs a value";
                return false;
            }
            if (!ParseStreamOption(option, arguments[next++], options, error)) return false;
        } else {
            *error = "unknown option '" + option + "'";
            return false;
        }
    }
    if (options->speed != Options::BusSpeed::Default && options->descriptorFile.empty()) {
        *error = "--speed goes with --descriptors FILE (a catalog device has its own speed)";
        return false;
    }
    return CheckStreamOptions(*options, error);
}

namespace {

// Decimal digits, or 0x and hexadecimal digits; nothing else (no blanks, sign or octal reading).
bool ParseSettingNumber(const std::string& text, uint64_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() == first || text.size() - first > 16) return false;
    uint64_t result = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = result;
    return true;
}

}  // namespace

bool ParseDriverSetting(const std::string& text, DriverSetting* setting) {
    const size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos) return false;
    std::string number = text.substr(equals + 1);
    unsigned bytes = 4;
    const size_t colon = number.find(':');
    if (colon != std::string::npos) {
        const std::string size = number.substr(colon + 1);
        if (size != "1" && size != "2" && size != "4") return false;
        bytes = static_cast<unsigned>(size[0] - '0');
        number.resize(colon);
    }
    uint64_t value = 0;
    if (!ParseSettingNumber(number, &value)) return false;
    if (bytes < 4 && value >> (8 * bytes) != 0) return false;
    *setting = {text.substr(0, equals), static_cast<uint32_t>(value), bytes};
    return true;
}

std::string HelpText() {
    std::string text =
        "usage: kvsim info [--device NAME | --descriptors FILE [--speed full|high]] [--setting NAME=VALUE[:BYTES]]...\n"
        "                  [--usb-log]\n"
        "       kvsim play [--device NAME | --descriptors FILE] (--input FILE.wav | --tone HZ) [--seconds S]\n"
        "                  [--format RATE/BITS[inCONTAINER]/CHANNELS] [--filter N] --device-output FILE.wav\n"
        "       kvsim record [--device NAME | --descriptors FILE] [--device-input FILE.wav] [--seconds S]\n"
        "                    [--format RATE/BITS[inCONTAINER]/CHANNELS] [--filter N] --output FILE.wav\n"
        "       kvsim asio [--device NAME | --descriptors FILE] [--rate HZ] [--buffer FRAMES] [--seconds S]\n"
        "                  [--input IN.wav] [--output OUT.wav] [--loopback] [--bits 16/16|24/24|32/24|32/32]\n"
        "                  [--latency MS] [--usb-log]\n"
        "       kvsim controls [--device NAME | --descriptors FILE] [--set NODE[.CHANNEL]=VALUE ...] [--replug]\n"
        "       kvsim --help\n"
        "\n"
        "info  boots the simulated machine, loads the KV-380D driver module (KV-380D.sys next to\n"
        "      kvsim), plugs one USB audio device, starts it and prints what happened: statuses, the\n"
        "      HAL chosen, device texts written, interfaces registered and enabled, subdevices and\n"
        "      the driver's debug output. Then it removes the device, checks the verifier's\n"
        "      balances (pool by tag, IRPs, threads, timer resolution, callbacks) and unloads.\n"
        "\n"
        "play  starts the device as info does, opens its render wave filter (the first, or number N)\n"
        "      in the input's format (or --format), streams the input for its length (or --seconds),\n"
        "      writes what the device received (in the device's own format) to --device-output and\n"
        "      compares it with what was sent: frames, gaps, repeats and whether it is sample-exact.\n"
        "      A 24-bit input opens 24 bits in a 32-bit container when the pin offers only that; an\n"
        "      8-bit input plays widened to 16 bits. When the device's format differs from the pin's\n"
        "      (a down-mix), a tone is judged by its level and SINAD at the device; other content\n"
        "      cannot be checked and the exit status says so.\n"
        "record  the device's capture source plays --device-input (default: its ramps); what the\n"
        "      capture pin delivered is written to --output, with the same summary.\n"
        "asio  starts the device as info does, registers the ASIO driver library (KV-380DASIO64.dll\n"
        "      next to kvsim) and loads it as an ASIO host does. It plays --input through the outputs\n"
        "      (default: per-channel ramps) and records the inputs to --output; --bits and --latency\n"
        "      are chosen in the driver's control panel, then the host reloads the driver. It prints\n"
        "      the driver, its channels, rate, latencies, buffer sizes, time-info mode, switches and\n"
        "      the final sample position; --loopback measures the round trip. Exit status 0 when the\n"
        "      run is clean (and sample-exact with --loopback), 2 when the driver does not offer the\n"
        "      --rate, or its panel the --bits or --latency, asked for (the latencies are 2, 4, 6, 8,\n"
        "      10, 20, 30, 40 and 50 ms), 1 otherwise.\n"
        "controls  starts the device as info does and lists every node of its topology filter as a\n"
        "      mixer shows it: kind, ranges and the value of each channel. Each --set is applied through\n"
        "      the node's property (levels in dB, switches 0 or 1, a mux's input number; without\n"
        "      .CHANNEL every channel); the control-change events the filter raised are printed. With\n"
        "      --replug the device is removed, plugged in again and listed again: stored values return.\n"
        "\n"
        "  --device NAME        a device of the catalog (default uac1)\n"
        "  --descriptors FILE   a device from a Linux sysfs `descriptors` file (device descriptor,\n"
        "                       then the configuration descriptor)\n"
        "  --speed full|high    the bus speed of a --descriptors device (default: high for UAC 2.0,\n"
        "                       else full)\n"
        "  --usb-log            also print the USB requests the device received, decoded\n"
        "  --setting NAME=VALUE[:BYTES]  (every command) a \"Settings\" value of the driver, written\n"
        "                       before the device starts: VALUE decimal or 0x hexadecimal, stored\n"
        "                       as BYTES bytes (1, 2 or 4; default 4)\n"
        "\n"
        "exit status: 0 when the run completed and the verifier is clean, 1 when the driver could\n"
        "not be loaded or left something behind, 2 for a bad command line or device.\n"
        "\n"
        "catalog devices:\n";
    for (const std::string& name : sim::usb::CatalogNames()) {
        text += "  " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') +
                sim::usb::CatalogDescription(name) + "\n";
    }
    return text;
}

}  // namespace kvsim
