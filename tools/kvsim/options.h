// kvsim's command line: the command and its options, and the help text.
#pragma once

#include <string>
#include <vector>

namespace kvsim {

enum class Command { Help, Info };

struct Options {
    Command command = Command::Help;
    std::string device = "uac1";  // catalog name, unless descriptorFile is set
    std::string descriptorFile;   // Linux sysfs `descriptors` layout
    bool usbLog = false;          // print the decoded USB requests
};

// Parses argv; false with *error set on a malformed command line.
bool ParseOptions(const std::vector<std::string>& arguments, Options* options, std::string* error);
std::string HelpText();

}  // namespace kvsim
