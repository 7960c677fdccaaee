// The verifier's rules for processes, user mappings and buffered requests: each mistake stops the
// machine with its rule and names what was wrong.
#include "io_helpers.h"

#include "support/bugcheck.h"

#include <sim/io.h>
#include <sim/mm.h>
#include <win/kernel.h>

#include <functional>
#include <string>

using namespace io_test;

namespace {

using kvtest::DeathCase;

class ProcessVerifier : public testing::TestWithParam<DeathCase> {};

TEST_P(ProcessVerifier, StopsTheMachine) { kvtest::ExpectStop(GetParam()); }

constexpr ULONG kTag = 'tseT';

PMDL LockedMdl(PVOID block, ULONG length) {
    PMDL mdl = IoAllocateMdl(block, length, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    return mdl;
}

// Maps a fresh page-sized block into process; answers the user address.
PVOID MapPage(PEPROCESS process, PMDL* mdl, PVOID* block = nullptr) {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
    *mdl = LockedMdl(memory, PAGE_SIZE);
    if (block != nullptr) *block = memory;
    sim::io::ProcessScope scope(process);
    return MmMapLockedPagesSpecifyCache(*mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

void MapInProcess(PVOID memory, ULONG length) {
    PMDL mdl = LockedMdl(memory, length);
    sim::io::ProcessScope scope(sim::io::CreateProcess("host", false));
    MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

void MapBlockSharingItsPages() { MapInProcess(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag), 100); }

void MapPastTheBlock() { MapInProcess(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag), 2 * PAGE_SIZE); }

void MapMemoryOutsidePool() {
    static UCHAR global[2 * PAGE_SIZE];
    MapInProcess(PAGE_ALIGN(global + PAGE_SIZE - 1), PAGE_SIZE);
}

void MapInTheSystemProcess() {
    PMDL mdl = LockedMdl(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag), PAGE_SIZE);
    MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

void FailAUserMapping() {
    PMDL mdl = nullptr;
    sim::mm::FailNthUserMapping(1);
    MapPage(sim::io::CreateProcess("host", false), &mdl);
}

void UnmapFromAnotherProcess() {
    PEPROCESS owner = sim::io::CreateProcess("owner", false);
    PMDL mdl = nullptr;
    PVOID user = MapPage(owner, &mdl);
    sim::io::ProcessScope scope(sim::io::CreateProcess("stranger", false));
    MmUnmapLockedPages(user, mdl);
}

void FreeMdlWhileMapped() {
    PMDL mdl = nullptr;
    MapPage(sim::io::CreateProcess("host", false), &mdl);
    IoFreeMdl(mdl);
}

void FreeBlockWhileMapped() {
    PMDL mdl = nullptr;
    PVOID block = nullptr;
    MapPage(sim::io::CreateProcess("host", false), &mdl, &block);
    ExFreePoolWithTag(block, kTag);
}

void ProcessDiesWithAMapping() {
    PEPROCESS host = sim::io::CreateProcess("leaky", false);
    PMDL mdl = nullptr;
    MapPage(host, &mdl);
    sim::io::DestroyProcess(host);
}

void UnmapTwice() {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    PMDL mdl = nullptr;
    PVOID user = MapPage(host, &mdl);
    sim::io::ProcessScope scope(host);
    MmUnmapLockedPages(user, mdl);
    MmUnmapLockedPages(user, mdl);
}

void DetachOutOfOrder() {
    PEPROCESS a = sim::io::CreateProcess("a", false);
    PEPROCESS b = sim::io::CreateProcess("b", false);
    KAPC_STATE first;
    KAPC_STATE second;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(a), &first);
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(b), &second);
    KeUnstackDetachProcess(&first);
}

void EnterAnEndedProcess() {
    PEPROCESS host = sim::io::CreateProcess("gone", false);
    ObReferenceObject(host);
    sim::io::DestroyProcess(host);
    sim::io::ProcessScope scope(host);
}

void AnswerMoreThanTheOutput() {
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    sim::io::CreateBusDevice(
        [](PDEVICE_OBJECT self, PIRP irp) {
            bool control = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL;
            return sim::io::Finish(self, irp, STATUS_SUCCESS, control ? 9 : 0);
        },
        Completion::Synchronous, u"\\Device\\KvOverAnswer");
    PFILE_OBJECT file = nullptr;
    sim::io::OpenFile(u"\\Device\\KvOverAnswer", &file);
    char out[8];
    sim::io::DeviceIoControl(file, kCode, nullptr, 0, out, sizeof(out), nullptr);
}

void AnswerMoreThanTheOutputOfAThreadedRequest() {
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PDEVICE_OBJECT device = sim::io::CreateBusDevice(
        [](PDEVICE_OBJECT self, PIRP irp) { return sim::io::Finish(self, irp, STATUS_BUFFER_OVERFLOW, 5); },
        Completion::Synchronous);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status;
    char out[4];
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, out, sizeof(out), FALSE, &done, &status);
    IoCallDriver(device, irp);
}

// Runs mistake at DISPATCH_LEVEL.
void AtDispatch(const std::function<void()>& mistake) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    mistake();
}

void ReferenceByHandleAtDispatch() {
    HANDLE event = sim::io::CreateUserEvent(false, false);
    PVOID object = nullptr;
    AtDispatch([&] { ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr); });
}

void AttachAtHighLevel() {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    KAPC_STATE state;
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(host), &state);
}

void MapAtDispatch() {
    PMDL mdl = LockedMdl(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag), PAGE_SIZE);
    sim::io::ProcessScope scope(sim::io::CreateProcess("host", false));
    AtDispatch([&] { MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority); });
}

void UnmapAtDispatch() {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    PMDL mdl = nullptr;
    PVOID user = MapPage(host, &mdl);
    sim::io::ProcessScope scope(host);
    AtDispatch([&] { MmUnmapLockedPages(user, mdl); });
}

void UnmapWithAnotherMdl() {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    PMDL mdl = nullptr;
    PMDL other = nullptr;
    PVOID user = MapPage(host, &mdl);
    MapPage(host, &other);
    sim::io::ProcessScope scope(host);
    MmUnmapLockedPages(user, other);
}

void FreeAPoolBlockAsAnMdl() { IoFreeMdl(static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag))); }

void MapPagesNeverLocked() {
    PMDL mdl = IoAllocateMdl(ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag), PAGE_SIZE, FALSE, FALSE, nullptr);
    sim::io::ProcessScope scope(sim::io::CreateProcess("host", false));
    MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

void BuildNonPagedMdlForPagedPool() { LockedMdl(ExAllocatePoolWithTag(PagedPool, PAGE_SIZE, kTag), PAGE_SIZE); }

void DestroyProcessTwice() {
    PEPROCESS host = sim::io::CreateProcess("twice", false);
    ObReferenceObject(host);
    sim::io::DestroyProcess(host);
    sim::io::DestroyProcess(host);
}

void DetachWithoutAttach() {
    KAPC_STATE state{};
    KeUnstackDetachProcess(&state);
}

void AttachToAnEvent() {
    HANDLE handle = sim::io::CreateUserEvent(false, false);
    PVOID event = nullptr;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &event, nullptr);
    KAPC_STATE state;
    KeStackAttachProcess(static_cast<PRKPROCESS>(event), &state);
}

// A use of a user address after its unmap faults (the host's SIGSEGV).
void TouchAfterUnmap() {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    PMDL mdl = nullptr;
    auto* user = static_cast<volatile UCHAR*>(MapPage(host, &mdl));
    {
        sim::io::ProcessScope scope(host);
        MmUnmapLockedPages(const_cast<UCHAR*>(user), mdl);
    }
    user[0] = 1;
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, ProcessVerifier,
    testing::Values(
        DeathCase{"MappingSharesPagesWithOtherBlocks", MapBlockSharingItsPages, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "would show the process other pool blocks"},
        DeathCase{"MappingRunsPastItsBlock", MapPastTheBlock, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "runs past the end of its pool block"},
        DeathCase{"MappingOfMemoryOutsidePool", MapMemoryOutsidePool, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "not the memory of a pool block"},
        DeathCase{"UserMappingInTheSystemProcess", MapInTheSystemProcess, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "in the system process"},
        DeathCase{"UnmapFromAForeignProcess", UnmapFromAnotherProcess, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "in process stranger; it is mapped in process owner"},
        DeathCase{"MdlFreedWhileMapped", FreeMdlWhileMapped, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "IoFreeMdl of MDL 0x[0-9a-f]+ while 1 user mapping"},
        DeathCase{"PoolFreedWhileMapped", FreeBlockWhileMapped, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "while it is mapped into a process"},
        DeathCase{"ProcessEndsWithAMapping", ProcessDiesWithAMapping, "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS",
                  "process leaky ended with 1 user mapping"},
        DeathCase{"UnmapTwice", UnmapTwice, "DRIVER_VERIFIER_DETECTED_VIOLATION", "which is no mapping of MDL"},
        DeathCase{"DetachOutOfOrder", DetachOutOfOrder, "INVALID_PROCESS_DETACH_ATTEMPT",
                  "not the innermost attachment"},
        DeathCase{"EnterAnEndedProcess", EnterAnEndedProcess, "INVALID_PROCESS_ATTACH_ATTEMPT", "which has ended"},
        DeathCase{"InformationAboveTheOutputLength", AnswerMoreThanTheOutput, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                  "Information 9, above its output length 8"},
        DeathCase{"ReferenceByHandleAtDispatch", ReferenceByHandleAtDispatch, "IRQL_NOT_LESS_OR_EQUAL",
                  "ObReferenceObjectByHandle at IRQL 2"},
        DeathCase{"AttachAtHighLevel", AttachAtHighLevel, "IRQL_NOT_LESS_OR_EQUAL", "KeStackAttachProcess at IRQL 15"},
        DeathCase{"UserMappingAtDispatch", MapAtDispatch, "IRQL_NOT_LESS_OR_EQUAL",
                  "MmMapLockedPagesSpecifyCache of a user mapping at IRQL 2"},
        DeathCase{"UnmapAtDispatch", UnmapAtDispatch, "IRQL_NOT_LESS_OR_EQUAL",
                  "MmUnmapLockedPages of a user mapping at IRQL 2"},
        DeathCase{"UnmapWithAnotherMdl", UnmapWithAnotherMdl, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "with MDL 0x[0-9a-f]+; it maps MDL"},
        DeathCase{"FreeAPoolBlockAsAnMdl", FreeAPoolBlockAsAnMdl, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "IoFreeMdl of 0x[0-9a-f]+, which is not an MDL"},
        DeathCase{"MapPagesNeverLocked", MapPagesNeverLocked, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "whose pages are not locked"},
        DeathCase{"NonPagedMdlForPagedPool", BuildNonPagedMdlForPagedPool, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                  "describes paged pool block"},
        DeathCase{"UserMappingFailureRaises", FailAUserMapping, "KMODE_EXCEPTION_NOT_HANDLED",
                  "failed and raised an exception"},
        DeathCase{"DestroyProcessTwice", DestroyProcessTwice, "INVALID_PROCESS_ATTACH_ATTEMPT",
                  "process twice destroyed twice"},
        DeathCase{"DetachWithoutAttach", DetachWithoutAttach, "INVALID_PROCESS_DETACH_ATTEMPT",
                  "0 attachment\\(s\\) open"},
        DeathCase{"AttachToAnEvent", AttachToAnEvent, "INVALID_PROCESS_ATTACH_ATTEMPT",
                  "KeStackAttachProcess of 0x[0-9a-f]+, which is not a process object"},
        DeathCase{"ThreadedInformationAboveTheOutputLength", AnswerMoreThanTheOutputOfAThreadedRequest,
                  "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "Information 5, above its output length 4"}),
    kvtest::DeathCaseName);

TEST(ProcessVerifier, AUserAddressFaultsAfterItsUnmap) { EXPECT_DEATH(TouchAfterUnmap(), ""); }

}  // namespace
