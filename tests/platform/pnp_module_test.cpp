// The PnP manager drives a driver module loaded by path through its life: entry, add-device,
// start, a file on its interface, surprise removal, removal and unload, and the verifier catches
// what the driver leaves behind.
#include "io_helpers.h"
#include "test_driver_protocol.h"

#include "support/bugcheck.h"

#include <sim/pnp.h>
#include <sim/registry.h>

#include <sched.h>

#include <atomic>
#include <cstring>

using namespace io_test;

namespace {

constexpr char16_t kService[] = u"KvTestDriver";
constexpr char16_t kParameters[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KvTestDriver\\Parameters";
constexpr char16_t kLink[] =
    u"\\??\\USB#VID_1234&PID_5678#7&2B&0&3#{6f0d3c1a-2b7e-4c59-9a41-3d8e5b2f7c10}\\TestInterface";

struct Machine {
    sim::pnp::Driver* driver = nullptr;
    sim::pnp::DeviceNode* node = nullptr;

    void Load(ULONG faults) {
        sim::registry::SetDword(kParameters, u"Faults", faults);
        ASSERT_EQ(sim::pnp::LoadDriver(KV_TEST_DRIVER_PATH, kService, &driver), STATUS_SUCCESS);
    }
    void Plug(Completion mode) {
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_1234&PID_5678";
        description.instanceId = u"7&2B&0&3";
        description.completion = mode;
        description.dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
                stack->Parameters.DeviceIoControl.IoControlCode == kTestLowerControlCode) {
                *static_cast<ULONG*>(stack->Parameters.Others.Argument1) = 0xA5;
                return sim::io::Finish(device, irp, STATUS_SUCCESS);
            }
            return sim::io::Finish(device, irp, irp->IoStatus.Status, irp->IoStatus.Information);
        };
        node = sim::pnp::CreateDevice(description);
    }
    std::u16string DeviceParameters() { return sim::pnp::EnumKeyPath(node) + u"\\Device Parameters"; }
    ULONG Dword(const std::u16string& key, std::u16string_view name) {
        auto value = sim::registry::GetValue(key, name);
        ULONG result = 0xFFFFFFFF;
        if (value && value->data.size() == sizeof(ULONG)) std::memcpy(&result, value->data.data(), sizeof(ULONG));
        return result;
    }
    sim::pnp::InterfaceInfo Interface() {
        auto interfaces = sim::pnp::Interfaces(&kTestInterfaceClass, false);
        EXPECT_EQ(interfaces.size(), 1u);
        return interfaces.empty() ? sim::pnp::InterfaceInfo{} : interfaces[0];
    }
    void Unplug() {
        sim::pnp::DeleteDevice(node);
        node = nullptr;
    }
};

class PnpModule : public testing::TestWithParam<Completion> {};

TEST_P(PnpModule, GoesThroughItsLife) {
    Machine m;
    size_t irps = sim::io::LiveIrpCount();
    m.Load(0);
    m.Plug(GetParam());

    ASSERT_EQ(sim::pnp::AddDevice(m.driver, m.node), STATUS_SUCCESS);
    // The registration outlives the device, as Windows keeps it: count from here.
    sim::pnp::InterfaceInfo before = m.Interface();
    EXPECT_EQ(before.symbolicLink, kLink);
    EXPECT_FALSE(m.Interface().enabled);

    ASSERT_EQ(sim::pnp::StartDevice(m.node), STATUS_SUCCESS);
    EXPECT_TRUE(m.Interface().enabled);
    EXPECT_EQ(m.Dword(m.DeviceParameters(), u"Starts"), 1u);
    EXPECT_EQ(m.Dword(m.DeviceParameters(), u"StartIrql"), ULONG{PASSIVE_LEVEL});
    EXPECT_EQ(m.Dword(m.DeviceParameters(), u"LowerStatus"), ULONG{STATUS_SUCCESS});
    EXPECT_EQ(m.Dword(m.DeviceParameters(), u"LowerAnswer"), 0xA5u);
    auto hardwareId = sim::registry::GetValue(m.DeviceParameters(), u"HardwareId");
    ASSERT_TRUE(hardwareId.has_value());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(hardwareId->data.data())),
              u"USB\\VID_1234&PID_5678&REV_0100");
    EXPECT_EQ(m.Dword(sim::pnp::DriverKeyPath(m.node) + u"\\Settings", u"StartCount"), 1u);

    // A file on the interface reaches the driver's own handlers; other names go to port-class.
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenFile(kLink, &file), STATUS_SUCCESS);
    EXPECT_NE(file->FsContext, nullptr);
    char out[8] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(sim::io::DeviceIoControl(file, kTestEchoControlCode, "abcd", 4, out, sizeof(out), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(out, 4), "dcba");
    std::memset(out, 0, sizeof(out));
    EXPECT_EQ(sim::io::DeviceIoControl(file, kTestEchoControlCode, "abcd", 4, nullptr, 0, &information),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(sim::io::DeviceIoControl(file, kTestEchoControlCode, "abcd", 4, out, 2, &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(sim::io::CloseFile(file), STATUS_SUCCESS);
    std::u16string other(kLink);
    other.replace(other.rfind(u'\\'), std::u16string::npos, u"\\Other");
    EXPECT_EQ(sim::io::OpenFile(other, &file), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(sim::pnp::SurpriseRemoveDevice(m.node), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::RemoveDevice(m.node), STATUS_SUCCESS);
    sim::pnp::InterfaceInfo link = m.Interface();
    EXPECT_FALSE(link.enabled);
    EXPECT_EQ(link.enables - before.enables, 1);
    EXPECT_EQ(link.disables - before.disables, 1);
    EXPECT_EQ(sim::io::OpenFile(kLink, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    m.Unplug();
    sim::pnp::UnloadDriver(m.driver);
    EXPECT_EQ(sim::io::LiveIrpCount(), irps);
}

INSTANTIATE_TEST_SUITE_P(Modes, PnpModule, testing::Values(Completion::Synchronous, Completion::Asynchronous),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

TEST(PnpModuleLoad, MissingModuleOrEntryIsRefused) {
    sim::pnp::Driver* driver = nullptr;
    EXPECT_EQ(sim::pnp::LoadDriver("/nonexistent/driver.sys", kService, &driver), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(driver, nullptr);
    // A shared object without DriverEntry (the C library) is not a driver.
    EXPECT_EQ(sim::pnp::LoadDriver("/lib/x86_64-linux-gnu/libm.so.6", kService, &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
}

// Each mistake of the driver is caught at the step where it shows, naming the driver or device.
struct MistakeCase {
    const char* name;
    ULONG faults;
    const char* rule;
    const char* pattern;
    void (*beforeUnload)() = nullptr;
};

class PnpModuleMistake : public testing::TestWithParam<MistakeCase> {};

void RunLife(ULONG faults, void (*beforeUnload)()) {
    Machine m;
    m.Load(faults);
    m.Plug(Completion::Asynchronous);
    if (!NT_SUCCESS(sim::pnp::AddDevice(m.driver, m.node))) return;
    sim::pnp::StartDevice(m.node);
    sim::pnp::RemoveDevice(m.node);
    m.Unplug();
    if (beforeUnload != nullptr) beforeUnload();
    sim::pnp::UnloadDriver(m.driver);
}

// Keeps the DPC thread busy from now on, so a DPC queued later stays queued (the process dies
// by the bug check the case expects).
void OccupyTheDpcThread() {
    static std::atomic<bool> running{false};
    static KDPC blocker;
    KeInitializeDpc(
        &blocker, [](PKDPC, PVOID, PVOID, PVOID) {
            running = true;
            for (;;) sched_yield();
        },
        nullptr);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    while (!running) sched_yield();
}

TEST_P(PnpModuleMistake, IsABugCheck) {
    const MistakeCase& c = GetParam();
    EXPECT_DEATH(RunLife(c.faults, c.beforeUnload), std::string("BUGCHECK ") + c.rule + ": .*" + c.pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, PnpModuleMistake,
    testing::Values(
        MistakeCase{"IrpNeverFreed", kFaultLeakIrp, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "KvTestDriver is unloaded with 1 IRPs of its code not freed"},
        MistakeCase{"InterfaceLeftEnabled", kFaultKeepInterfaceEnabled, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                    "1 device interfaces of .*USBPDO-[0-9]+ are still enabled.*TestInterface"},
        MistakeCase{"LowerReferenceKept", kFaultKeepLowerReference, "REFERENCE_BY_POINTER",
                    "after IRP_MN_REMOVE_DEVICE .* still has 1 references"},
        MistakeCase{"KeyHandleLeftOpen", kFaultLeakHandle, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                    "KvTestDriver is unloaded with 1 kernel handles left open"},
        MistakeCase{"FailedAddDeviceUndoesNothing", kFaultFailAddDevice, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                    "after a failing AddDevice .* is still attached"},
        // Once the module is closed these would run unmapped code.
        MistakeCase{"TimerLeftSet", kFaultKeepTimerSet, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "KvTestDriver is unloaded with 1 timers or DPCs of its code pending: timer 0x[0-9a-f]+ set to "
                    "expire in [0-9]+ ms with the DPC routine .*TimerDpcRoutine.* at .*test_driver.cpp:[0-9]+"},
        MistakeCase{"DpcLeftQueued", kFaultQueueDpcAtUnload, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "KvTestDriver is unloaded with 1 timers or DPCs of its code pending: DPC 0x[0-9a-f]+ queued with "
                    "the DPC routine .*UnloadDpcRoutine", OccupyTheDpcThread},
        MistakeCase{"WorkItemNeverFreed", kFaultKeepWorkItem, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "KvTestDriver is unloaded with 1 work items of its code not freed: work item 0x[0-9a-f]+ \\(not "
                    "queued\\)"},
        MistakeCase{"SystemThreadLeftRunning", kFaultKeepSystemThread,
                    "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                    "KvTestDriver is unloaded with 1 system threads still running: system thread started at "
                    ".*LingeringThread.* at .*test_driver.cpp:[0-9]+"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
