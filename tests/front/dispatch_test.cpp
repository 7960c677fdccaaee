// The create, close, device-control and removal handlers: requests on the private ASIO file reach
// the adapter's ASIO interface after the device is awake, every other request goes to the
// port-class library, and surprise removal followed by removal disables and frees each interface
// once.
#include "front_fakes.h"

#include <sim/debug_log.h>
#include <sim/io.h>

namespace front_test {
namespace {

EngineScript Render(ULONG type, bool asio = false) {
    return {.direction = StreamDirectionRender, .type = type, .asio = asio};
}
EngineScript Capture(ULONG type) { return {.direction = StreamDirectionCapture, .type = type}; }

struct FileCase {
    const char* name;
    std::function<void()> arrange;  // before the start
    std::u16string file;
    NTSTATUS open;
    Log openEvents;
    NTSTATUS close;  // when the open succeeded
    Log closeEvents;
};

class AsioFile : public testing::TestWithParam<FileCase> {};

TEST_P(AsioFile, OpensAndClosesThroughTheAdapter) {
    const FileCase& c = GetParam();
    Rig rig;
    CurrentScript().engines = {Render(1, true)};
    c.arrange();
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Start();
    Events().clear();

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::io::OpenFile(rig.DevicePath(c.file), &file), c.open);
    EXPECT_EQ(Events(), c.openEvents);
    if (file != nullptr) {
        Events().clear();
        EXPECT_EQ(sim::io::CloseFile(file), c.close);
        EXPECT_EQ(Events(), c.closeEvents);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AsioFile,
    testing::Values(FileCase{"ClientComesAndGoes",
                             [] {},
                             u"\\KLASIOPrivateInterface",
                             STATUS_SUCCESS,
                             {"adapter wait", "create client"},
                             STATUS_SUCCESS,
                             {"adapter wait", "close client"}},
                    FileCase{"NameIgnoresCase",
                             [] {},
                             u"\\klasioprivateINTERFACE",
                             STATUS_SUCCESS,
                             {"adapter wait", "create client"},
                             STATUS_SUCCESS,
                             {"adapter wait", "close client"}},
                    FileCase{"ClientRefused",
                             [] { CurrentScript().createClient = STATUS_INSUFFICIENT_RESOURCES; },
                             u"\\KLASIOPrivateInterface",
                             STATUS_UNSUCCESSFUL,
                             {"adapter wait", "create client"},
                             0,
                             {}},
                    FileCase{"CloseRefused",
                             [] { CurrentScript().closeClient = STATUS_INVALID_PARAMETER; },
                             u"\\KLASIOPrivateInterface",
                             STATUS_SUCCESS,
                             {"adapter wait", "create client"},
                             STATUS_UNSUCCESSFUL,
                             {"adapter wait", "close client"}},
                    FileCase{"AdapterWithoutAsio",
                             [] { CurrentScript().answersAsio = false; },
                             u"\\KLASIOPrivateInterface",
                             STATUS_UNSUCCESSFUL,
                             {"adapter wait"},
                             0,
                             {}},
                    // Any other name is a kernel-streaming filter or pin: the port-class library's, after the wake.
                    FileCase{"OtherFileGoesToPortClass",
                             [] {},
                             u"\\KLEnumPrivateInterface",
                             STATUS_OBJECT_NAME_NOT_FOUND,
                             {"adapter wait"},
                             0,
                             {}},
                    FileCase{"LongerNameGoesToPortClass",
                             [] {},
                             u"\\KLASIOPrivateInterface\\Pin",
                             STATUS_OBJECT_NAME_NOT_FOUND,
                             {"adapter wait"},
                             0,
                             {}},
                    FileCase{"NotStartedGoesToPortClass",
                             [] { CurrentScript().init = STATUS_NOT_IMPLEMENTED; },
                             u"\\KLASIOPrivateInterface",
                             STATUS_OBJECT_NAME_NOT_FOUND,
                             {},
                             0,
                             {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A successful create or close on the ASIO file completes with success and no information, whatever
// the status block held when the request came in.
TEST(AsioFileStatusBlock, SuccessCompletesWithZeroInformation) {
    Rig rig;
    CurrentScript().engines = {Render(1, true)};
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenFile(rig.DevicePath(u"\\KLASIOPrivateInterface"), &file), STATUS_SUCCESS);

    auto keep = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; };
    for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
        SCOPED_TRACE(int(major));
        PIRP irp = IoAllocateIrp(rig.Functional()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0x5A5A;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = file;
        IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(rig.Functional(), irp), STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Information, 0u);
        IoFreeIrp(irp);
    }
    EXPECT_EQ(sim::io::CloseFile(file), STATUS_SUCCESS);
}

// Device control on the ASIO file reaches the decoder with Information cleared and answers its
// status; an adapter that no longer answers the ASIO interface gets STATUS_INVALID_PARAMETER.
TEST(DeviceControl, ReachesTheAsioDecoder) {
    Rig rig;
    CurrentScript().engines = {Render(1, true)};
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenFile(rig.Interface(GUID_KLASIOPrivateInterface).symbolicLink, &file), STATUS_SUCCESS);

    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR out[8] = {};
    ULONG_PTR information = 7;
    Events().clear();
    CurrentScript().asioControl = STATUS_BUFFER_TOO_SMALL;
    EXPECT_EQ(sim::io::DeviceIoControl(file, code, nullptr, 0, out, sizeof(out), &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Events(), (Log{"adapter wait", "asio control"}));

    Events().clear();
    CurrentScript().answersAsio = false;
    EXPECT_EQ(sim::io::DeviceIoControl(file, code, nullptr, 0, out, sizeof(out), &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Events(), Log{"adapter wait"});
    CurrentScript().answersAsio = true;
    EXPECT_EQ(sim::io::CloseFile(file), STATUS_SUCCESS);
}

// Surprise removal stops the adapter, removes the engines' subdevices and then disables the
// interfaces; the removal after it frees the links without disabling anything twice.
TEST(Removal, SurpriseRemovalThenRemovalDisablesOnce) {
    Rig rig;
    CurrentScript().engines = {Render(1, true), Capture(7)};
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    Events().clear();

    ASSERT_EQ(rig.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (Log{"adapter wait", "adapter stop", "engine SPKOut00 remove", "engine MicIn00 remove"}));
    for (const GUID* guid : {&GUID_KLASIOPrivateInterface, &GUID_KLEnumPrivateInterface}) {
        EXPECT_FALSE(rig.Interface(*guid).enabled);
        EXPECT_EQ(rig.Interface(*guid).disables, 1);
    }
    EXPECT_TRUE(rig.Extension()->AsioInterfaceRegistered);
    EXPECT_TRUE(rig.Extension()->EnumInterfaceRegistered);

    Events().clear();
    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Events(),
              (Log{"adapter wait", "adapter stop", "engine SPKOut00 remove", "engine MicIn00 remove", "adapter gone"}));
    for (const GUID* guid : {&GUID_KLASIOPrivateInterface, &GUID_KLEnumPrivateInterface}) {
        EXPECT_EQ(rig.Interface(*guid).enables, 1);
        EXPECT_EQ(rig.Interface(*guid).disables, 1);
    }
}

// A subdevice that cannot be removed ends the walk with a debug line; the removal still completes.
TEST(Removal, ReportsAnEngineThatCannotBeRemoved) {
    Rig rig;
    EngineScript stuck = Capture(7);
    stuck.remove = STATUS_UNSUCCESSFUL;
    CurrentScript().engines = {Render(1), stuck, Render(2)};
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    sim::debuglog::Clear();
    Events().clear();
    ASSERT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(EventsWith("engine"), (Log{"engine SPKOut00 remove", "engine MicIn00 remove"}));
    EXPECT_EQ(sim::debuglog::Lines(), std::vector<std::string>{"Remove Miniport Failed StreamEngine ulIdx = 1"});
    EXPECT_EQ(LiveAdapters(), 0);
}

}  // namespace
}  // namespace front_test
