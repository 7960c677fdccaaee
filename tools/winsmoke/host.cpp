// A minimal ASIO host for the DLL's smoke test under wine: creates the driver's class through COM,
// calls init, getErrorMessage and getChannels on a machine without the device, and prints each
// answer. Exits 0 when the answers are the driver's no-device answers.
#include <win/asio.h>
#include <win/win32.h>

#include <cstdio>
#include <cstring>

// The driver's class identifier, which is also the interface identifier ASIO hosts ask for.
constexpr GUID kDriverClsid = {0x64EF5AEC, 0x95AB, 0x4843, {0xA6, 0x08, 0x7C, 0xA3, 0xCD, 0xB0, 0x7F, 0x3A}};

int main() {
    if (CoInitialize(nullptr) < 0) {
        std::printf("CoInitialize failed\n");
        return 1;
    }
    IASIO* driver = nullptr;
    HRESULT hr = CoCreateInstance(kDriverClsid, nullptr, CLSCTX_INPROC_SERVER, kDriverClsid,
                                  reinterpret_cast<void**>(&driver));
    std::printf("CoCreateInstance: 0x%08lX\n", static_cast<unsigned long>(hr));
    if (hr < 0 || driver == nullptr) return 1;
    ASIOBool opened = driver->init(nullptr);
    char message[124] = {};
    driver->getErrorMessage(message);
    LONG inputs = -1, outputs = -1;
    ASIOError channels = driver->getChannels(&inputs, &outputs);
    std::printf("init: %ld\ngetErrorMessage: %s\ngetChannels: %ld (%ld in, %ld out)\n", static_cast<long>(opened),
                message, static_cast<long>(channels), static_cast<long>(inputs), static_cast<long>(outputs));
    driver->Release();
    CoUninitialize();
    const bool noDevice = opened == ASIOFalse && std::strcmp(message, "ASIO Driver open Failure!") == 0 &&
                          channels == ASE_NotPresent;
    std::printf("%s\n", noDevice ? "no-device answers: ok" : "unexpected answers");
    return noDevice ? 0 : 1;
}
