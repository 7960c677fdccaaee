// kvsim: the simulated machine from the command line. `kvsim info` runs one USB audio device
// through the KV-380D driver's start and removal and reports what happened.
#include "asio_command.h"
#include "controls_command.h"
#include "info_command.h"
#include "options.h"
#include "stream_command.h"

#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The driver module lies next to kvsim (both in the build's bin directory).
std::string BesideKvsim(const char* name) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return name;
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

std::string DriverPath() { return BesideKvsim("KV-380D.sys"); }

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    kvsim::Options options;
    std::string error;
    if (!kvsim::ParseOptions(arguments, &options, &error)) {
        std::cerr << "kvsim: " << error << "\n\n" << kvsim::HelpText();
        return 2;
    }
    if (options.command == kvsim::Command::Help) {
        std::cout << kvsim::HelpText();
        return 0;
    }
    if (options.command == kvsim::Command::Info) return kvsim::RunInfo(options, DriverPath(), std::cout);
    if (options.command == kvsim::Command::Asio) {
        return kvsim::RunAsio(options, DriverPath(), BesideKvsim("KV-380DASIO64.dll"), std::cout);
    }
    if (options.command == kvsim::Command::Controls) return kvsim::RunControls(options, DriverPath(), std::cout);
    return kvsim::RunStream(options, DriverPath(), std::cout);
}
