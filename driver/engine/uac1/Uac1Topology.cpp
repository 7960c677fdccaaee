// Uac1AudioHal::BuildTopology: the class-specific descriptors of the AudioControl interface become
// the unit list, each unit's controls go onto the HAL's node list, and the units are connected
// by handing each unit its upstream units' output control ids.
#include "driver/engine/hal/ClassDescriptors.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"
#include "driver/engine/uac1/Uac1MixerUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"
#include "driver/engine/uac1/Uac1Terminals.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr UCHAR InterfaceDescriptorType = 4;
constexpr ULONG InterfaceDescriptorBytes = 9;
constexpr UCHAR AudioInterfaceClassCode = 1;
constexpr UCHAR AudioControlProtocol = 0;
constexpr UCHAR HeaderSubtype = 1;

constexpr ULONG UnitIdOffset = 3;
constexpr ULONG TerminalTypeOffset = 4;
constexpr USHORT SpeakerTerminalType = 0x0301;
constexpr USHORT HeadphonesTerminalType = 0x0302;

// Units with more upstream units than this are left unconnected.
constexpr ULONG MaxConnectedSources = 9;
// Upstream levels a unit graph may have; a deeper one is refused as malformed.
constexpr ULONG MaxUnitDepth = 64;

// Device rules of the topology build, by vendor and product.
enum Uac1TopologyQuirk : ULONG {
    QuirkHeadphonesOnTerminal16 = 0x1,  // output terminal 16 declared a speaker drives headphones
    QuirkNeedsTerminals16And64 = 0x2,   // units 16 and 64 must be output terminals
};
struct Uac1QuirkRow {
    USHORT VendorId;
    USHORT ProductId;
    bool AnyProduct;
    ULONG Flags;
};
constexpr Uac1QuirkRow QuirkRows[] = {
    {.VendorId = 0x1B1C, .ProductId = 0, .AnyProduct = true, .Flags = QuirkHeadphonesOnTerminal16},
    {.VendorId = 0x1B1C, .ProductId = 0x0A04, .AnyProduct = false, .Flags = QuirkNeedsTerminals16And64},
};
constexpr ULONG RequiredTerminalIds[] = {16, 64};

ULONG QuirksOf(USHORT VendorId, USHORT ProductId) {
    ULONG flags = 0;
    for (const Uac1QuirkRow& row : QuirkRows) {
        if (row.VendorId == VendorId && (row.AnyProduct || row.ProductId == ProductId)) flags |= row.Flags;
    }
    return flags;
}

NTSTATUS AddUnitOfSubtype(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    switch (Subtype) {
    case Uac1InputTerminalSubtype:
        return Hal.AddNewUnit<InputTerminal>(Descriptor);
    case Uac1OutputTerminalSubtype:
        return Hal.AddNewUnit<OutputTerminal>(Descriptor);
    case Uac1MixerUnitSubtype:
        return Hal.AddNewUnit<MixerUnit>(Descriptor);
    case Uac1SelectorUnitSubtype:
        return Hal.AddNewUnit<SelectorUnit>(Descriptor);
    case Uac1FeatureUnitSubtype:
        return Hal.AddNewUnit<FeatureUnit>(Descriptor);
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// Walks the unit list in list order.
class UnitListWalk {
public:
    explicit UnitListWalk(PointerList* List)
        : m_List(List), m_Position(List != nullptr ? List->GetHeadPosition() : nullptr) {}
    UnitNode* Next() {
        PVOID data = nullptr;
        if (m_List == nullptr || !m_List->GetNext(&m_Position, &data)) return nullptr;
        return static_cast<UnitNode*>(data);
    }

private:
    PointerList* m_List;
    PointerListNode* m_Position;
};

constexpr Uac1WalkPolicy Uac1Policy = {
    .PoolTag = Uac1AudioHalTag,
    .UseUac1Quirks = true,
    .DanglingSourceFails = false,
    .AddUnit = nullptr,
    .NewRenderStream = nullptr,
    .StartRenderWorker = nullptr,
    .AfterStreams = nullptr,
    .RewriteBeforeCreation = nullptr,
    .ShapeRenderFormat = nullptr,
};

}  // namespace

const Uac1WalkPolicy& Uac1AudioHal::WalkPolicy() const { return Uac1Policy; }

NTSTATUS Uac1AudioHal::BuildTopology(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) {
    PAGED_CODE();
    m_UnitLookups = 0;
    if (Interface == nullptr || Length < InterfaceDescriptorBytes) return STATUS_INVALID_PARAMETER;
    DescriptorIterator walk(reinterpret_cast<PUCHAR>(Interface), Length);
    const PUCHAR first = walk.Next();
    if (first == nullptr || first[0] < InterfaceDescriptorBytes || Interface->bDescriptorType != InterfaceDescriptorType ||
        Interface->bInterfaceClass != AudioInterfaceClassCode || Interface->bInterfaceSubClass != AudioControlSubclassCode ||
        Interface->bInterfaceProtocol != AudioControlProtocol) {
        return STATUS_INVALID_PARAMETER;
    }
    const Uac1WalkPolicy& policy = WalkPolicy();
    const ULONG quirks = policy.UseUac1Quirks ? QuirksOf(m_VendorId, m_ProductId) : 0;

    for (PUCHAR descriptor = walk.Next(); descriptor != nullptr; descriptor = walk.Next()) {
        if (descriptor[1] != AudioClassInterfaceType) return FinishTopology(quirks);
        const UCHAR subtype = descriptor[0] >= 3 ? descriptor[2] : 0;
        const ClassDescriptorRule* rule = FindClassDescriptorRule(AudioClassRelease1, AudioControlSubclassCode, subtype);
        if (rule == nullptr) {
            // Processing and extension units, and anything unknown: no model of this device.
            DbgPrint("Uac1AudioHal::BuildTopology: AudioControl subtype %u is not supported\n", subtype);
            return STATUS_UNSUCCESSFUL;
        }
        if (!ClassDescriptorFits(*rule, descriptor)) {
            DbgPrint("Uac1AudioHal::BuildTopology: subtype %u with bLength %u is too short\n", subtype, descriptor[0]);
            return STATUS_INVALID_PARAMETER;
        }
        if (subtype == HeaderSubtype) continue;

        if ((quirks & QuirkHeadphonesOnTerminal16) != 0 && subtype == Uac1OutputTerminalSubtype &&
            descriptor[UnitIdOffset] == 16 && ReadLe16(descriptor + TerminalTypeOffset) == SpeakerTerminalType) {
            descriptor[TerminalTypeOffset] = static_cast<UCHAR>(HeadphonesTerminalType & 0xFF);
            descriptor[TerminalTypeOffset + 1] = static_cast<UCHAR>(HeadphonesTerminalType >> 8);
        }
        if (policy.RewriteBeforeCreation != nullptr) policy.RewriteBeforeCreation(*this, subtype, descriptor);
        const NTSTATUS status = policy.AddUnit != nullptr ? policy.AddUnit(*this, subtype, descriptor)
                                                          : AddUnitOfSubtype(*this, subtype, descriptor);
        if (!NT_SUCCESS(status)) return status;
    }
    if (walk.Malformed()) {
        // A lying bLength: nothing after it can be trusted, and no unit is connected.
        DbgPrint("Uac1AudioHal::BuildTopology: descriptor length runs past the configuration\n");
        return STATUS_UNSUCCESSFUL;
    }
    return FinishTopology(quirks);
}

NTSTATUS Uac1AudioHal::FinishTopology(ULONG Quirks) {
    PAGED_CODE();
    auto* table = static_cast<Uac1UnitTable*>(ExAllocatePoolWithTag(PagedPool, sizeof(Uac1UnitTable), m_PoolTag));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    BuildUnitTable(table);
    NTSTATUS status = CheckUnitGraph(*table);
    if (NT_SUCCESS(status)) status = ConnectUnits(*table);
    ExFreePoolWithTag(table, m_PoolTag);
    if (!NT_SUCCESS(status) || (Quirks & QuirkNeedsTerminals16And64) == 0) return status;
    for (ULONG id : RequiredTerminalIds) {
        UnitNode* unit = nullptr;
        status = FindUnit(id, &unit);
        if (!NT_SUCCESS(status)) return status;
        if (unit->GetNodeKind() != Uac1OutputTerminalSubtype) return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void Uac1AudioHal::BuildUnitTable(Uac1UnitTable* Table) {
    RtlZeroMemory(Table, sizeof(*Table));
    // In list order, so a later unit with the same id replaces an earlier one, as in FindUnit.
    UnitListWalk units(m_pUnitList);
    for (UnitNode* unit = units.Next(); unit != nullptr; unit = units.Next()) {
        const ULONG id = unit->GetId();
        if (id < Uac1UnitIdCount) Table->Units[id] = unit;
    }
}

UnitNode* Uac1AudioHal::LookUpUnit(const Uac1UnitTable& Table, ULONG UnitId) {
    ++m_UnitLookups;
    return UnitId < Uac1UnitIdCount ? Table.Units[UnitId] : nullptr;
}

NTSTATUS Uac1AudioHal::CheckUnitGraph(const Uac1UnitTable& Table) {
    PAGED_CODE();
    UnitListWalk units(m_pUnitList);
    for (UnitNode* start = units.Next(); start != nullptr; start = units.Next()) {
        // Breadth first upstream of the unit; the visited set queues every id at most once.
        UnitIdSet visited;
        UCHAR queue[Uac1UnitIdCount];
        UCHAR depthOf[Uac1UnitIdCount];  // upstream levels from the start, by queue slot
        ULONG head = 0;
        ULONG tail = 0;
        UnitNode* unit = start;
        ULONG depth = 0;
        while (unit != nullptr) {
            ULONG sources[Uac1UnitIdCount];
            ULONG count = Uac1UnitIdCount;
            if (NT_SUCCESS(unit->GetSources(&count, sources))) {
                for (ULONG i = 0; i < count; ++i) {
                    if (sources[i] == start->GetId()) {
                        DbgPrint("Uac1AudioHal::CheckUnitGraph: unit %u feeds itself\n", start->GetId());
                        return STATUS_INVALID_PARAMETER;
                    }
                    if (!visited.Insert(sources[i])) continue;
                    if (depth + 1 > MaxUnitDepth) {
                        DbgPrint("Uac1AudioHal::CheckUnitGraph: units deeper than %u levels\n", MaxUnitDepth);
                        return STATUS_INVALID_PARAMETER;
                    }
                    queue[tail] = static_cast<UCHAR>(sources[i]);
                    depthOf[tail++] = static_cast<UCHAR>(depth + 1);
                }
            }
            // The next queued id that names a unit.
            unit = nullptr;
            while (unit == nullptr && head < tail) {
                depth = depthOf[head];
                unit = LookUpUnit(Table, queue[head++]);
            }
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac1AudioHal::ConnectUnits(const Uac1UnitTable& Table) {
    PAGED_CODE();
    UnitListWalk units(m_pUnitList);
    for (UnitNode* unit = units.Next(); unit != nullptr; unit = units.Next()) {
        ULONG controls = 0;
        if (!NT_SUCCESS(unit->GetControlCount(&controls)) || controls == 0) continue;
        ULONG ids[MaxConnectedSources];
        ULONG count = unit->GetSourceCount();
        if (count == 0 || count > MaxConnectedSources) continue;
        if (!NT_SUCCESS(unit->GetSources(&count, ids)) || count == 0) continue;
        for (ULONG i = 0; i < count; ++i) {
            // A unit id is no control id: an input without a unit gets no source, and only a
            // source unit without controls (which the walk never builds) keeps its unit id.
            UnitNode* source = LookUpUnit(Table, ids[i]);
            ULONG outputId = 0;
            if (source == nullptr) {
                if (WalkPolicy().DanglingSourceFails) {
                    DbgPrint("Uac1AudioHal::ConnectUnits: unit %u names source %u, which is no unit\n", unit->GetId(),
                             ids[i]);
                    return STATUS_UNSUCCESSFUL;
                }
                ids[i] = AudioNodeNoSource;
            } else if (NT_SUCCESS(source->GetOutputControlId(&outputId))) {
                ids[i] = outputId;
            }
        }
        const NTSTATUS status = unit->SetInputSources(count, ids);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}
