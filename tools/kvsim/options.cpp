#include "options.h"

#include <sim/usb_device.h>

namespace kvsim {

bool ParseOptions(const std::vector<std::string>& arguments, Options* options, std::string* error) {
    *options = Options{};
    if (arguments.empty()) return true;  // help
    size_t next = 0;
    const std::string& command = arguments[next++];
    if (command == "--help" || command == "-h" || command == "help") return true;
    if (command != "info") {
        *error = "unknown command '" + command + "'";
        return false;
    }
    options->command = Command::Info;
    bool deviceGiven = false;
    while (next < arguments.size()) {
        const std::string& option = arguments[next++];
        if (option == "--help" || option == "-h") {
            options->command = Command::Help;
            return true;
        }
        if (option == "--usb-log") {
            options->usbLog = true;
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
        } else {
            *error = "unknown option '" + option + "'";
            return false;
        }
    }
    return true;
}

std::string HelpText() {
    std::string text =
        "usage: kvsim info [--device NAME | --descriptors FILE] [--usb-log]\n"
        "       kvsim --help\n"
        "\n"
        "info  boots the simulated machine, loads the KV-380D driver module (KV-380D.sys next to\n"
        "      kvsim), plugs one USB audio device, starts it and prints what happened: statuses, the\n"
        "      HAL chosen, device texts written, interfaces registered and enabled, subdevices and\n"
        "      the driver's debug output. Then it removes the device, checks the verifier's\n"
        "      balances (pool by tag, IRPs, threads, timer resolution, callbacks) and unloads.\n"
        "\n"
        "  --device NAME        a device of the catalog (default uac1)\n"
        "  --descriptors FILE   a device from a Linux sysfs `descriptors` file (device descriptor,\n"
        "                       then the configuration descriptor)\n"
        "  --usb-log            also print the USB requests the device received, decoded\n"
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
