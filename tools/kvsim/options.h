// kvsim's command line: the command and its options, and the help text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvsim {

enum class Command { Help, Info, Play, Record, Asio, Controls };

// A pin format given as RATE/BITS/CHANNELS or RATE/BITSinCONTAINER/CHANNELS; rate 0 when not
// given. container 0: the bits' own size.
struct PinFormat {
    unsigned rate = 0;
    unsigned bits = 0;
    unsigned channels = 0;
    unsigned container = 0;
    unsigned ContainerBits() const { return container != 0 ? container : bits; }
};

// One --set of `kvsim controls`: NODE[.CHANNEL]=VALUE; channel -1 for every channel.
struct ControlSetting {
    unsigned node = 0;
    int channel = -1;
    double value = 0;  // dB for levels, 0/1 for switches, the input number for a mux
    std::string text;  // as given
};

// One --setting: a "Settings" value of the driver written before the device starts, as a
// little-endian number of Bytes bytes (1, 2 or 4), REG_BINARY.
struct DriverSetting {
    std::string name;
    uint32_t value = 0;
    unsigned bytes = 4;
};

struct Options {
    Command command = Command::Help;
    std::string device = "uac1";  // catalog name, unless descriptorFile is set
    std::string descriptorFile;   // Linux sysfs `descriptors` layout
    // --speed full|high for a descriptor file; default: high speed for UAC 2.0, else full
    enum class BusSpeed { Default, Full, High } speed = BusSpeed::Default;
    bool usbLog = false;          // print the decoded USB requests
    // every command that starts a device: "Settings" values written before the start
    // (--setting NAME=VALUE[:BYTES])
    std::vector<DriverSetting> settings;
    // play and record
    std::string inputFile;        // play: the WAV the application plays
    double toneHz = 0;            // play: a sine instead of a file
    double seconds = 0;           // how long to stream; 0: the input's length, else 2 s
    PinFormat format;             // the pin's format; default: the input's, else 48000/16/2
    unsigned filterIndex = 0;     // which wave filter of the direction
    std::string deviceOutput;     // play: what the device received, as WAV
    std::string deviceInput;      // record: what the device's capture source plays (default: ramps)
    std::string output;           // record: what the capture pin delivered, as WAV; asio: the inputs
    // asio
    unsigned asioRate = 0;        // Hz; 0: the driver's rate
    unsigned asioBuffer = 0;      // frames; 0: the driver's preferred size
    bool loopback = false;        // the device returns what it received: measure the round trip
    std::string bits;             // "16/16", "24/24", "32/24" or "32/32": chosen in the control panel
    unsigned latencyMs = 0;       // chosen in the control panel
    // controls
    std::vector<ControlSetting> sets;
    bool replug = false;          // remove and plug the device again, then list again
};

// Parses argv; false with *error set on a malformed command line.
bool ParseOptions(const std::vector<std::string>& arguments, Options* options, std::string* error);
std::string HelpText();
// NAME=VALUE[:BYTES]: VALUE decimal or 0x-prefixed hexadecimal, nothing else around it; BYTES 1, 2
// or 4 (default 4) and VALUE within them. False for anything else.
bool ParseDriverSetting(const std::string& text, DriverSetting* setting);

}  // namespace kvsim
