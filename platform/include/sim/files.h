// The machine's file system as the kernel sees it: \SystemRoot\ maps to a host directory. By
// default that is a temporary directory made for the process on first use and removed at exit.
#pragma once

#include <string>
#include <string_view>

namespace sim::files {

// The host directory that \SystemRoot\ maps to.
std::string SystemRoot();
// Maps \SystemRoot\ to an existing host directory from now on.
void SetSystemRoot(const std::string& hostDirectory);

// Writes a file below \SystemRoot\ (path relative to it, '\' or '/' separators), creating the
// directories on the way; replaces an existing file. False when it cannot be written.
bool WriteSystemFile(std::string_view relativePath, std::string_view contents);
bool RemoveSystemFile(std::string_view relativePath);

}  // namespace sim::files
