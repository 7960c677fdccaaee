// The library as a host and a registration tool see it: loaded by path, registered and
// unregistered, created through COM by its class, and let go when nothing of it is in use.
#include <asio/ComServer.h>

#include <sim/registry.h>
#include <sim/user.h>
#include <win/asio.h>
#include <win/win32.h>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

namespace kv380dasio {
namespace {

constexpr char16_t kClassKey[] = u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{64EF5AEC-95AB-4843-A608-7CA3CDB07F3A}";
constexpr char16_t kServerKey[] =
    u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{64EF5AEC-95AB-4843-A608-7CA3CDB07F3A}\\InprocServer32";
constexpr char16_t kAsioKey[] = u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Talmet V-380D V-260D ASIO(64)";


// The REG_SZ value as stored: its text, and that the stored length counts the terminating zero.
std::string StoredString(std::u16string_view key, std::u16string_view name, bool* zeroCounted = nullptr) {
    auto value = sim::registry::GetValue(key, name);
    if (!value || value->type != REG_SZ) return "<none>";
    std::string text;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) text.push_back(static_cast<char>(value->data[i]));
    if (zeroCounted != nullptr) *zeroCounted = !text.empty() && text.back() == '\0';
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

typedef HRESULT(STDMETHODCALLTYPE* Export)();

class ComServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::registry::Reset();
        sim::user::ClearMessageBoxes();
    }
    void TearDown() override {
        sim::user::ClearFailures();
        sim::registry::Reset();
        EXPECT_EQ(sim::user::LoadedModuleCount(), 0u);
    }
    static HRESULT Call(HMODULE module, const char* name) {
        return reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name)))();
    }
};

TEST_F(ComServerTest, RegistrationWritesExactKeysAndReRegistersByPath) {
    HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(Call(module, "DllRegisterServer"), S_OK);
    bool counted = false;
    EXPECT_EQ(StoredString(kClassKey, u"", &counted), "Talmet V-380D V-260D ASIO(64)");
    EXPECT_TRUE(counted);
    EXPECT_EQ(StoredString(kServerKey, u"", &counted), Lower(KV_ASIO_DLL_PATH));
    EXPECT_TRUE(counted);
    EXPECT_EQ(StoredString(kServerKey, u"ThreadingModel"), "Apartment");
    EXPECT_EQ(StoredString(kAsioKey, u"CLSID"), "{64EF5AEC-95AB-4843-A608-7CA3CDB07F3A}");
    EXPECT_EQ(StoredString(kAsioKey, u"Description"), "Talmet V-380D V-260D ASIO(64)");

    // Again from the same file: the class keys stay, the driver entry is written afresh.
    sim::registry::SetDword(kClassKey, u"Marker", 1);
    sim::registry::SetDword(kAsioKey, u"Marker", 1);
    ASSERT_EQ(Call(module, "DllRegisterServer"), S_OK);
    EXPECT_TRUE(sim::registry::GetValue(kClassKey, u"Marker").has_value());
    EXPECT_FALSE(sim::registry::GetValue(kAsioKey, u"Marker").has_value());
    EXPECT_TRUE(FreeLibrary(module));

    // From another copy of the library: the old class tree goes first.
    std::filesystem::path copy = std::filesystem::temp_directory_path() / "kv_asio_copy" / "KV-380DASIO64.dll";
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(KV_ASIO_DLL_PATH, copy, std::filesystem::copy_options::overwrite_existing);
    module = LoadLibraryA(copy.c_str());
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(Call(module, "DllRegisterServer"), S_OK);
    EXPECT_FALSE(sim::registry::GetValue(kClassKey, u"Marker").has_value());
    EXPECT_EQ(StoredString(kServerKey, u""), Lower(copy.string()));

    ASSERT_EQ(Call(module, "DllUnregisterServer"), S_OK);
    EXPECT_FALSE(sim::registry::KeyExists(kClassKey));
    EXPECT_FALSE(sim::registry::KeyExists(kAsioKey));
    EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\ASIO"));
    EXPECT_TRUE(sim::registry::KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID"));
    EXPECT_TRUE(sim::user::MessageBoxes().empty());
    EXPECT_TRUE(FreeLibrary(module));
    std::filesystem::remove_all(copy.parent_path());
}

TEST_F(ComServerTest, RegistrationFailuresShowTheirCodeAndWriteNothing) {
    struct Case {
        sim::user::Failure failure;
        const char* text;
    };
    const Case cases[] = {
        {sim::user::Failure::GetModuleHandle, "Register Server failed ! (-101)"},
        {sim::user::Failure::GetModuleFileName, "Register Server failed ! (-102)"},
        {sim::user::Failure::StringFromCLSID, "Register Server failed ! (-103)"},
        {sim::user::Failure::WideCharToMultiByte, "Register Server failed ! (-104)"},
    };
    HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
    ASSERT_NE(module, nullptr);
    for (const Case& c : cases) {
        sim::user::ClearMessageBoxes();
        sim::user::FailNth(c.failure, 1);
        EXPECT_EQ(Call(module, "DllRegisterServer"), -1) << c.text;
        auto boxes = sim::user::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u) << c.text;
        EXPECT_EQ(boxes[0].text, c.text);
        EXPECT_EQ(boxes[0].caption, "Talmet V-380D V-260D ASIO");
        EXPECT_EQ(boxes[0].type, static_cast<unsigned>(MB_OK));
        EXPECT_FALSE(sim::registry::KeyExists(kClassKey));
    }
    sim::user::ClearMessageBoxes();
    sim::user::FailNth(sim::user::Failure::GetModuleHandle, 1);
    EXPECT_EQ(Call(module, "DllUnregisterServer"), -1);
    ASSERT_EQ(sim::user::MessageBoxes().size(), 1u);
    EXPECT_EQ(sim::user::MessageBoxes()[0].text, "Unregister Server failed ! (-101)");
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ComServerTest, ClassFactoryRulesAndUnloadWhenUnused) {
    HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(Call(module, "DllRegisterServer"), S_OK);
    typedef HRESULT(STDMETHODCALLTYPE * GetClassObject)(REFCLSID, REFIID, LPVOID*);
    auto getClassObject = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    void* object = nullptr;
    const GUID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    EXPECT_EQ(getClassObject(kDriverClsid, other, &object), E_NOINTERFACE);
    EXPECT_EQ(getClassObject(other, other, &object), E_NOINTERFACE);  // the interface is checked first
    EXPECT_EQ(getClassObject(other, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kDriverClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), kDriverClsid, &object), E_NOINTERFACE);
    EXPECT_EQ(factory->CreateInstance(nullptr, other, &object), E_NOINTERFACE);
    EXPECT_EQ(Call(module, "DllCanUnloadNow"), S_OK);  // a refused instance leaves nothing
    factory->LockServer(TRUE);
    EXPECT_EQ(Call(module, "DllCanUnloadNow"), S_FALSE);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_TRUE(FreeLibrary(module));

    // Through COM: the class's InprocServer32 names the library.
    CoInitialize(nullptr);
    IASIO* driver = nullptr;
    ASSERT_EQ(CoCreateInstance(kDriverClsid, nullptr, CLSCTX_INPROC_SERVER, kDriverClsid, reinterpret_cast<void**>(&driver)),
              S_OK);
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(sim::user::IsModuleLoaded("KV-380DASIO64.dll"));
    CoFreeUnusedLibraries();
    EXPECT_TRUE(sim::user::IsModuleLoaded("KV-380DASIO64.dll"));  // the object lives
    driver->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(sim::user::IsModuleLoaded("KV-380DASIO64.dll"));
    CoUninitialize();
}

TEST_F(ComServerTest, DriverWithoutDevicesRefusesInitAndCallsThatNeedIt) {
    HMODULE module = LoadLibraryA(KV_ASIO_DLL_PATH);
    ASSERT_EQ(Call(module, "DllRegisterServer"), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
    CoInitialize(nullptr);
    IASIO* driver = nullptr;
    ASSERT_EQ(CoCreateInstance(kDriverClsid, nullptr, CLSCTX_INPROC_SERVER, kDriverClsid, reinterpret_cast<void**>(&driver)),
              S_OK);
    LONG inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);  // before init
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char text[128] = {};
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Driver open Failure!");
    char name[32] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "Talmet V-380D V-260D ASIO");
    EXPECT_EQ(driver->getDriverVersion(), 1);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_NotPresent);
    EXPECT_EQ(driver->setSampleRate(48'000.0), ASE_NoClock);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(driver->outputReady(), ASE_NotPresent);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown)), S_OK);
    unknown->Release();
    driver->Release();  // after a failed init: no device to dispose
    CoUninitialize();
    EXPECT_EQ(sim::user::DeviceInfoSetCount(), 0u);
}

}  // namespace
}  // namespace kv380dasio
