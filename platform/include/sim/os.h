// The version of Windows the simulated machine reports (RtlGetVersion, PsGetVersion,
// RtlIsNtDdiVersionAvailable). Default: Windows 10, NTDDI 0x0A000000, build 10240.
#pragma once

#include <cstdint>

namespace sim::os {

struct Version {
    uint32_t ntddi;  // 0xMMmmSSVV: major, minor, service pack, sub-version
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint16_t servicePackMajor;
    uint16_t servicePackMinor;
};

Version Current();
void Set(const Version& version);
// Sets the version from an NTDDI value; the build is that release's first build.
void SetNtddi(uint32_t ntddi);
void Reset();

// Sets a version for the lifetime of the object and restores the previous one after.
class ScopedVersion {
public:
    explicit ScopedVersion(uint32_t ntddi) : saved_(Current()) { SetNtddi(ntddi); }
    ~ScopedVersion() { Set(saved_); }
    ScopedVersion(const ScopedVersion&) = delete;
    ScopedVersion& operator=(const ScopedVersion&) = delete;

private:
    Version saved_;
};

}  // namespace sim::os
