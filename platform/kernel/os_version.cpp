// The operating-system version the machine reports.
#include <sim/os.h>
#include <win/kernel.h>

#include <mutex>

namespace sim::os {
namespace {

std::mutex g_lock;

uint32_t FirstBuildOf(uint32_t ntddi) {
    struct Release {
        uint32_t ntddi;
        uint32_t build;
    };
    static const Release kReleases[] = {
        {0x05010000, 2600}, {0x05020000, 3790}, {0x06000000, 6000}, {0x06000100, 6001}, {0x06000200, 6002},
        {0x06010000, 7600}, {0x06010100, 7601}, {0x06020000, 9200}, {0x06030000, 9600}, {0x0A000000, 10240},
    };
    uint32_t build = 0;
    for (const Release& r : kReleases) {
        if (r.ntddi <= ntddi) build = r.build;
    }
    return build;
}

Version VersionOf(uint32_t ntddi) {
    Version v{};
    v.ntddi = ntddi;
    v.major = ntddi >> 24;
    v.minor = (ntddi >> 16) & 0xFF;
    v.servicePackMajor = static_cast<uint16_t>((ntddi >> 8) & 0xFF);
    v.servicePackMinor = 0;
    v.build = FirstBuildOf(ntddi);
    return v;
}

Version g_version = VersionOf(NTDDI_WIN10);

}  // namespace

Version Current() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_version;
}

void Set(const Version& version) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_version = version;
}

void SetNtddi(uint32_t ntddi) { Set(VersionOf(ntddi)); }

void Reset() { SetNtddi(NTDDI_WIN10); }

}  // namespace sim::os

KV_EXTERN_C BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) {
    return Version <= sim::os::Current().ntddi ? TRUE : FALSE;
}

KV_EXTERN_C NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW)) return STATUS_INVALID_PARAMETER;
    sim::os::Version v = sim::os::Current();
    lpVersionInformation->dwMajorVersion = v.major;
    lpVersionInformation->dwMinorVersion = v.minor;
    lpVersionInformation->dwBuildNumber = v.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    RtlZeroMemory(lpVersionInformation->szCSDVersion, sizeof(lpVersionInformation->szCSDVersion));
    if (v.servicePackMajor != 0) {
        RtlStringCchPrintfW(lpVersionInformation->szCSDVersion, RTL_NUMBER_OF(lpVersionInformation->szCSDVersion),
                            u"Service Pack %u", static_cast<unsigned>(v.servicePackMajor));
    }
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = v.servicePackMajor;
        ex->wServicePackMinor = v.servicePackMinor;
        ex->wSuiteMask = 0;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

// Answers FALSE: the system reports itself as a free build.
KV_EXTERN_C BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                 PUNICODE_STRING CSDVersion) {
    sim::os::Version v = sim::os::Current();
    if (MajorVersion != nullptr) *MajorVersion = v.major;
    if (MinorVersion != nullptr) *MinorVersion = v.minor;
    if (BuildNumber != nullptr) *BuildNumber = v.build;
    if (CSDVersion != nullptr) {
        CSDVersion->Length = 0;
        if (v.servicePackMajor != 0 && CSDVersion->Buffer != nullptr) {
            RtlUnicodeStringPrintf(CSDVersion, u"Service Pack %u", static_cast<unsigned>(v.servicePackMajor));
        }
    }
    return FALSE;
}
