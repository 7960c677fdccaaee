// MDLs and user mappings of locked pages: a mapping in a process is a real alias of the pool
// block's pages, below 4 GB for a 32-bit process, and its failure can be injected.
#include <sim/io.h>
#include <sim/mm.h>
#include <sim/pool.h>
#include <win/kernel.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr ULONG kTag = 'gniR';

// A pool block of whole pages with its MDL built for non-paged pool.
struct LockedBlock {
    explicit LockedBlock(SIZE_T bytes, ULONG offset = 0, ULONG length = 0) : bytes(bytes) {
        block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag));
        EXPECT_NE(block, nullptr);
        mdl = IoAllocateMdl(block + offset, length != 0 ? length : ULONG(bytes - offset), FALSE, TRUE, nullptr);
        EXPECT_NE(mdl, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
    }
    ~LockedBlock() {
        IoFreeMdl(mdl);
        ExFreePoolWithTag(block, kTag);
    }
    SIZE_T bytes;
    PUCHAR block = nullptr;
    PMDL mdl = nullptr;
};

struct MappingCase {
    const char* name;
    bool is32bit;
    SIZE_T bytes;
    ULONG offset;  // of the MDL's first byte in the block
};

class UserMappings : public testing::TestWithParam<MappingCase> {};

TEST_P(UserMappings, AliasThePagesInTheCurrentProcess) {
    const MappingCase& c = GetParam();
    LockedBlock locked(c.bytes, c.offset);
    EXPECT_EQ(locked.mdl->MappedSystemVa, locked.block + c.offset);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked.mdl, NormalPagePriority), locked.block + c.offset);
    PEPROCESS host = sim::io::CreateProcess("host", c.is32bit);
    {
        sim::io::ProcessScope scope(host);
        auto* user = static_cast<PUCHAR>(
            MmMapLockedPagesSpecifyCache(locked.mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority));
        ASSERT_NE(user, nullptr);
        EXPECT_NE(user, locked.block + c.offset);
        EXPECT_EQ(BYTE_OFFSET(user), c.offset % PAGE_SIZE);
        if (c.is32bit) {
            EXPECT_LT(reinterpret_cast<uintptr_t>(user) + c.bytes, uintptr_t{1} << 32);
        }
        EXPECT_EQ(sim::mm::UserMappingCount(host), 1u);
        // Both views are the same memory.
        user[0] = 0x11;
        user[c.bytes - c.offset - 1] = 0x22;
        EXPECT_EQ(locked.block[c.offset], 0x11);
        EXPECT_EQ(locked.block[c.bytes - 1], 0x22);
        locked.block[c.offset + 1] = 0x33;
        EXPECT_EQ(user[1], 0x33);
        MmUnmapLockedPages(user, locked.mdl);
        EXPECT_EQ(sim::mm::UserMappingCount(host), 0u);
    }
    sim::io::DestroyProcess(host);
}

INSTANTIATE_TEST_SUITE_P(Cases, UserMappings,
                         testing::Values(MappingCase{"OnePage64", false, PAGE_SIZE, 0},
                                         MappingCase{"ThreePages32", true, 3 * PAGE_SIZE, 0},
                                         MappingCase{"FromAnOffset", false, 2 * PAGE_SIZE, 40},
                                         MappingCase{"FromTheSecondPage32", true, 3 * PAGE_SIZE, PAGE_SIZE + 8}),
                         [](const testing::TestParamInfo<MappingCase>& info) { return info.param.name; });

TEST(UserMappings, OneMdlMapsIntoTwoProcessesAndUnmapsInEach) {
    LockedBlock locked(2 * PAGE_SIZE);
    PEPROCESS a = sim::io::CreateProcess("a", false);
    PEPROCESS b = sim::io::CreateProcess("b", true);
    PVOID inA = nullptr;
    {
        sim::io::ProcessScope scope(a);
        inA = MmMapLockedPagesSpecifyCache(locked.mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
    }
    {
        sim::io::ProcessScope scope(b);
        PVOID inB = MmMapLockedPagesSpecifyCache(locked.mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
        ASSERT_NE(inB, nullptr);
        EXPECT_EQ(sim::mm::UserMappingCount(), 2u);
        MmUnmapLockedPages(inB, locked.mdl);
        // Unmapping a's mapping from b's thread needs an attachment to a.
        KAPC_STATE state;
        KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(a), &state);
        MmUnmapLockedPages(inA, locked.mdl);
        KeUnstackDetachProcess(&state);
    }
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    sim::io::DestroyProcess(a);
    sim::io::DestroyProcess(b);
}

// A section shows the same pages to the system and to a process (below 4 GB for a 32-bit one); a
// view that fails answers a status, and a process that ends takes its views along, leaving the
// section to its handle.
TEST(UserMappings, SectionViewsFailWithAStatusAndGoWithTheProcess) {
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = PAGE_SIZE + 1;
    ASSERT_EQ(ZwCreateSection(&handle, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT, nullptr),
              STATUS_SUCCESS);
    PVOID section = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SECTION_ALL_ACCESS, *MmSectionObjectType, KernelMode, &section, nullptr),
              STATUS_SUCCESS);
    PVOID system = nullptr;
    SIZE_T systemBytes = 0;
    ASSERT_EQ(MmMapViewInSystemSpace(section, &system, &systemBytes), STATUS_SUCCESS);
    ObDereferenceObject(section);
    EXPECT_EQ(systemBytes, 2u * PAGE_SIZE);

    for (bool is32bit : {false, true}) {
        PEPROCESS host = sim::io::CreateProcess("host", is32bit);
        {
            sim::io::ProcessScope scope(host);
            PVOID user = nullptr;
            SIZE_T bytes = 0;
            sim::mm::FailNthUserMapping(1);
            EXPECT_EQ(ZwMapViewOfSection(handle, ZwCurrentProcess(), &user, 0, 0, nullptr, &bytes, ViewUnmap, 0,
                                         PAGE_READWRITE),
                      STATUS_NO_MEMORY);
            EXPECT_EQ(user, nullptr);
            ASSERT_EQ(ZwMapViewOfSection(handle, ZwCurrentProcess(), &user, 0, 0, nullptr, &bytes, ViewUnmap, 0,
                                         PAGE_READWRITE),
                      STATUS_SUCCESS);
            if (is32bit) {
                EXPECT_LT(reinterpret_cast<uint64_t>(user) + bytes, uint64_t{1} << 32);
            }
            static_cast<PUCHAR>(user)[PAGE_SIZE] = 0x5A;
            EXPECT_EQ(static_cast<PUCHAR>(system)[PAGE_SIZE], 0x5A);
            EXPECT_EQ(sim::mm::UserMappingCount(host), 1u);
        }
        sim::io::DestroyProcess(host);  // the view goes with it, no stop
        EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
    }
    EXPECT_EQ(MmUnmapViewInSystemSpace(system), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

// A device that maps a page into the caller's process at a buffered request (answering the user
// address) and unmaps it when the file closes, attached to the process it mapped into; the close
// may come from the dying process itself or from a handle's last close in another process.
class MappingDevice {
public:
    static constexpr ULONG kMapCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

    MappingDevice() {
        m_device = sim::io::CreateBusDevice(
            [this](PDEVICE_OBJECT self, PIRP irp) { return Dispatch(self, irp); }, sim::io::Completion::Synchronous,
            u"\\Device\\KvMapping");
    }
    ~MappingDevice() { sim::io::DeleteBusDevice(m_device); }
    PEPROCESS closedIn = nullptr;

private:
    NTSTATUS Dispatch(PDEVICE_OBJECT self, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            m_block = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
            m_mdl = IoAllocateMdl(m_block, PAGE_SIZE, FALSE, TRUE, nullptr);
            MmBuildMdlForNonPagedPool(m_mdl);
            m_user = MmMapLockedPagesSpecifyCache(m_mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
            m_owner = IoGetRequestorProcess(irp);
            ObReferenceObject(m_owner);
            *static_cast<PVOID*>(irp->AssociatedIrp.SystemBuffer) = m_user;
            return sim::io::Finish(self, irp, STATUS_SUCCESS, sizeof(PVOID));
        }
        if (stack->MajorFunction == IRP_MJ_CLOSE && m_user != nullptr) {
            closedIn = PsGetCurrentProcess();
            KAPC_STATE state;
            KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(m_owner), &state);
            MmUnmapLockedPages(m_user, m_mdl);
            KeUnstackDetachProcess(&state);
            ObDereferenceObject(m_owner);
            IoFreeMdl(m_mdl);
            ExFreePoolWithTag(m_block, kTag);
            m_user = nullptr;
        }
        return sim::io::Finish(self, irp, STATUS_SUCCESS);
    }

    PDEVICE_OBJECT m_device = nullptr;
    PVOID m_block = nullptr;
    PMDL m_mdl = nullptr;
    PVOID m_user = nullptr;
    PEPROCESS m_owner = nullptr;
};

TEST(UserMappings, ADyingProcessLetsTheDriverUnmapInItsContext) {
    MappingDevice device;
    PEPROCESS host = sim::io::CreateProcess("host", true);
    {
        sim::io::ProcessScope scope(host);
        HANDLE file = nullptr;
        ASSERT_EQ(sim::io::OpenFileHandle(u"\\Device\\KvMapping", &file), STATUS_SUCCESS);
        PVOID user = nullptr;
        ULONG_PTR information = 0;
        ASSERT_EQ(sim::io::DeviceIoControl(file, MappingDevice::kMapCode, nullptr, 0, &user, sizeof(user), &information),
                  STATUS_SUCCESS);
        ASSERT_NE(user, nullptr);
        EXPECT_LT(reinterpret_cast<uintptr_t>(user), uintptr_t{1} << 32);
        EXPECT_EQ(sim::mm::UserMappingCount(host), 1u);
    }
    sim::io::DestroyProcess(host);  // the close runs there and unmaps: nothing is left
    EXPECT_EQ(device.closedIn, host);
    EXPECT_EQ(sim::mm::UserMappingCount(), 0u);
}

TEST(Mdls, DescribeTheirBufferAndComeFromPool) {
    UCHAR buffer[100];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer);
    EXPECT_EQ(MmGetMdlByteCount(mdl), sizeof(buffer));
    EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(buffer));
    EXPECT_EQ(mdl->Size, static_cast<CSHORT>(sizeof(MDL) + sizeof(PFN_NUMBER) *
                                                               ADDRESS_AND_SIZE_TO_SPAN_PAGES(buffer, sizeof(buffer))));
    IoFreeMdl(mdl);
    EXPECT_EQ(IoAllocateMdl(buffer, 0, FALSE, FALSE, nullptr), nullptr);
    // An MDL is pool: injected pool faults reach it.
    sim::pool::FailNthAllocation(1);
    EXPECT_EQ(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr), nullptr);
    // With an IRP it becomes the IRP's MDL.
    PIRP irp = IoAllocateIrp(1, FALSE);
    mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, mdl);
    irp->MdlAddress = nullptr;
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
}

}  // namespace
