// StreamEngine: construction, set-up by the HAL parsers, naming, formats, the path controls, the
// client and attached lists, callbacks and destruction. The wave subdevice is in
// StreamEngineMiniport.cpp, the data path in StreamEngineDataPath.cpp.
#include "driver/engine/stream/StreamEngine.h"

#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/front/SubdeviceInfo.h"

#include <new>

namespace {

// The destructor looks for departed clients this often (100 ns units, relative).
constexpr LONGLONG ClientPollInterval = -50LL * 10000;  // 50 ms
// Polls before clients left behind are reported: 5 s.
constexpr ULONG ClientPollLimit = 100;
// The first bug-check parameter of that report.
constexpr ULONG_PTR StreamEngineClientsLeftCode = 0x5345;

PointerList* NewEngineList() {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PointerList), StreamEngineTag);
    if (memory == nullptr) return nullptr;
    return new (memory) PointerList();
}

void DeleteEngineList(PointerList*& List) {
    if (List == nullptr) return;
    List->~PointerList();
    ExFreePoolWithTag(List, StreamEngineTag);
    List = nullptr;
}

// Drops the reference the list holds on each entry; the list stays, empty.
template <class Entry>
void ReleaseEntries(PointerList* List) {
    if (List == nullptr) return;
    PVOID data = nullptr;
    while (List->RemoveHead(&data)) static_cast<Entry*>(data)->Release();
}

// Frees the owned format records; the list stays, empty.
void FreeRecords(PointerList* List) {
    if (List == nullptr) return;
    PVOID data = nullptr;
    while (List->RemoveHead(&data)) ExFreePoolWithTag(data, StreamEngineTag);
}

bool IsListEmpty(const PointerList* List) { return List == nullptr || List->IsEmpty(); }

// The type a path control reports through TerminalInfo; FALSE when it does not answer.
bool TerminalTypeOf(AudioNode* Node, PULONG Type) {
    TerminalInfo* info = nullptr;
    if (!NT_SUCCESS(Node->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info))) || info == nullptr) {
        return false;
    }
    NTSTATUS status = info->GetTerminalType(Type);
    info->Release();
    return NT_SUCCESS(status);
}

// Render engines of these types carry only two channels to the host.
bool IsTwoChannelType(ULONG Type) {
    return Type == EndpointTypeCode(EndpointType::Headphones) || Type == EndpointTypeCode(EndpointType::Spdif) ||
           Type == EndpointTypeCode(EndpointType::HeadSet) || Type == EndpointTypeCode(EndpointType::FrontHeadphones);
}

// The spin lock for a scope.
class EngineLockScope {
public:
    explicit EngineLockScope(PKSPIN_LOCK Lock) : m_Lock(Lock) { KeAcquireSpinLock(m_Lock, &m_OldIrql); }
    ~EngineLockScope() { KeReleaseSpinLock(m_Lock, m_OldIrql); }
    EngineLockScope(const EngineLockScope&) = delete;
    EngineLockScope& operator=(const EngineLockScope&) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_OldIrql;
};

PointerListNode* FindClientNode(PointerList* List, PVOID Registration) {
    for (PointerListNode* node = List->GetHeadPosition(); node != nullptr; node = node->Next) {
        if (static_cast<StreamClient*>(node->Data)->Registration == Registration) return node;
    }
    return nullptr;
}

}  // namespace

StreamEngine::StreamEngine(PUNKNOWN UnknownOuter, ULONG Index)
    : CKernelUnknown(UnknownOuter),
      m_Index(Index),
      m_Direction(StreamDirectionRender),
      m_Name(nullptr),
      m_WavePort(nullptr),
      m_PortClassId{},
      m_MiniportCreator(nullptr),
      m_TopologyPort(nullptr),
      m_TopologyInfo(nullptr),
      m_TopologyPin(0),
      m_ProcessingList(nullptr),
      m_PathList(nullptr),
      m_FormatList(nullptr),
      m_RegisteredClients(nullptr),
      m_FormatClients(nullptr),
      m_StartedClients(nullptr),
      m_FirstAttached(nullptr),
      m_SecondAttached(nullptr),
      m_TwoChannelFormats(nullptr),
      m_WorkBuffer(nullptr),
      m_Planes{},
      m_CallbackObject(nullptr),
      m_CurrentWaveFormat{} {
    KeInitializeSpinLock(&m_SpinLock);
}

StreamEngine::~StreamEngine() {
    // Clients reach the buffers and lists from the transfer paths until they leave, so nothing
    // is freed before the last one has gone.
    LARGE_INTEGER interval;
    interval.QuadPart = ClientPollInterval;
    // A client that never leaves is a leak of its consumer: after a bounded wait it is reported as
    // a verifier violation rather than waited for forever.
    ULONG polls = 0;
    for (PointerList* clients : {m_StartedClients, m_FormatClients, m_RegisteredClients}) {
        while (!IsListEmpty(clients)) {
            if (++polls > ClientPollLimit) {
                DbgPrint("StreamEngine %p released with clients still registered\n", static_cast<PVOID>(this));
                KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, StreamEngineClientsLeftCode,
                             reinterpret_cast<ULONG_PTR>(this), reinterpret_cast<ULONG_PTR>(clients), 0);
            }
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
    }

    ReleaseEntries<ProcessingStage>(m_ProcessingList);
    DeleteEngineList(m_ProcessingList);
    if (m_WorkBuffer != nullptr) ExFreePoolWithTag(m_WorkBuffer, StreamEngineTag);
    m_WorkBuffer = nullptr;
    for (float*& plane : m_Planes) {
        if (plane != nullptr) ExFreePoolWithTag(plane, StreamEngineTag);
        plane = nullptr;
    }
    ReleaseEntries<AudioNode>(m_PathList);
    DeleteEngineList(m_PathList);
    FreeRecords(m_FormatList);
    DeleteEngineList(m_FormatList);
    FreeRecords(m_TwoChannelFormats);
    DeleteEngineList(m_TwoChannelFormats);
    DeleteEngineList(m_StartedClients);
    DeleteEngineList(m_FormatClients);
    DeleteEngineList(m_RegisteredClients);

    // The attached lists leave under the spin lock; their objects are released outside it, where
    // a destructor may touch paged memory.
    PointerList* first = nullptr;
    PointerList* second = nullptr;
    {
        EngineLockScope lock(&m_SpinLock);
        first = m_FirstAttached;
        second = m_SecondAttached;
        m_FirstAttached = nullptr;
        m_SecondAttached = nullptr;
    }
    ReleaseEntries<ProcessingStage>(first);
    DeleteEngineList(first);
    ReleaseEntries<ProcessingStage>(second);
    DeleteEngineList(second);

    if (m_Name != nullptr) ExFreePoolWithTag(m_Name, StreamEngineTag);
    m_Name = nullptr;
    if (m_CallbackObject != nullptr) {
        // Created permanent, so its name outlives every reference until it is made temporary.
        ObMakeTemporaryObject(m_CallbackObject);
        ObDereferenceObject(m_CallbackObject);
    }
    m_CallbackObject = nullptr;
    if (m_WavePort != nullptr) m_WavePort->Release();
    m_WavePort = nullptr;
    if (m_TopologyPort != nullptr) m_TopologyPort->Release();
    m_TopologyPort = nullptr;
}

NTSTATUS StreamEngine::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_StreamEngine, static_cast<StreamEngine*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

// ---------------------------------------------------------------------------------------------
// Set-up

NTSTATUS StreamEngine::Init(ULONG Direction) {
    PAGED_CODE();
    if (Direction != StreamDirectionRender && Direction != StreamDirectionCapture) return STATUS_INVALID_PARAMETER;
    // Lists from an earlier call would be lost.
    if (m_ProcessingList != nullptr || m_Name != nullptr || m_CallbackObject != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_Direction = Direction;

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PointerList** lists[] = {&m_ProcessingList, &m_PathList,     &m_FormatList,
                             &m_RegisteredClients, &m_FormatClients, &m_StartedClients,
                             &m_FirstAttached,  &m_SecondAttached, &m_TwoChannelFormats};
    bool created = true;
    for (PointerList** list : lists) {
        *list = NewEngineList();
        if (*list == nullptr) created = false;
    }
    if (created) {
        m_Name = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, StreamEngineNameChars * sizeof(WCHAR), StreamEngineTag));
        if (m_Name != nullptr) {
            RtlZeroMemory(m_Name, StreamEngineNameChars * sizeof(WCHAR));
            status = CreateCallbackObject();
        }
    }
    if (!NT_SUCCESS(status)) {
        FreeLists();
        if (m_Name != nullptr) ExFreePoolWithTag(m_Name, StreamEngineTag);
        m_Name = nullptr;
        return status;
    }
    return STATUS_SUCCESS;
}

void StreamEngine::FreeLists() {
    for (PointerList** list : {&m_ProcessingList, &m_PathList, &m_FormatList, &m_RegisteredClients,
                               &m_FormatClients, &m_StartedClients, &m_FirstAttached, &m_SecondAttached,
                               &m_TwoChannelFormats}) {
        DeleteEngineList(*list);
    }
}

NTSTATUS StreamEngine::CreateCallbackObject() {
    return CreateNamedCallback(KV_WIDE("\\Callback\\StreamEngineAddr%p"), &m_CallbackObject);
}

NTSTATUS StreamEngine::CreateNamedCallback(PCWSTR NameFormat, PCALLBACK_OBJECT* CallbackObject) {
    PAGED_CODE();
    // The prefix and 16 hex digits fit with room to spare.
    WCHAR name[64];
    NTSTATUS status = RtlStringCchPrintfW(name, sizeof(name) / sizeof(name[0]), NameFormat, static_cast<PVOID>(this));
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING callbackName;
    RtlInitUnicodeString(&callbackName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    status = ExCreateCallback(CallbackObject, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) *CallbackObject = nullptr;
    return status;
}

NTSTATUS StreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE* Format) {
    PAGED_CODE();
    if (Format == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_FormatList == nullptr || m_TwoChannelFormats == nullptr) return STATUS_UNSUCCESSFUL;
    PointerList* targets[] = {m_FormatList, Format->Format.nChannels == 2 ? m_TwoChannelFormats : nullptr};
    for (PointerList* list : targets) {
        if (list == nullptr) continue;
        PVOID record = ExAllocatePoolWithTag(NonPagedPoolNx, StreamEngineFormatRecordBytes, StreamEngineTag);
        if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(record, Format, StreamEngineFormatRecordBytes);
        if (list->AddTail(record) == nullptr) {
            ExFreePoolWithTag(record, StreamEngineTag);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AddPathNode(AudioNode* Control) {
    PAGED_CODE();
    if (Control == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_PathList == nullptr || m_ProcessingList == nullptr) return STATUS_UNSUCCESSFUL;
    const ULONG id = Control->GetId();
    for (PointerListNode* node = m_PathList->GetHeadPosition(); node != nullptr; node = node->Next) {
        if (static_cast<AudioNode*>(node->Data)->GetId() == id) return STATUS_SUCCESS;
    }
    Control->AddRef();
    PointerListNode* pathNode = m_PathList->AddTail(Control);
    if (pathNode == nullptr) {
        Control->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ProcessingStage* stage = nullptr;
    if (NT_SUCCESS(Control->QueryInterface(IID_ProcessingStage, reinterpret_cast<PVOID*>(&stage))) &&
        stage != nullptr) {
        // The query's reference becomes the processing list's.
        if (m_ProcessingList->AddTail(stage) == nullptr) {
            // Undone as a whole, so that a retry adds the stage too.
            stage->Release();
            m_PathList->RemoveNode(pathNode);
            Control->Release();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AddProcessingStage(ProcessingStage* Stage) {
    PAGED_CODE();
    if (Stage == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_ProcessingList == nullptr) return STATUS_UNSUCCESSFUL;
    Stage->AddRef();
    if (m_ProcessingList->AddTail(Stage) == nullptr) {
        Stage->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AllocateWorkBuffers() {
    PAGED_CODE();
    bool complete = true;
    if (m_WorkBuffer == nullptr) {
        m_WorkBuffer =
            static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, StreamEngineWorkBufferBytes, StreamEngineTag));
        complete = complete && m_WorkBuffer != nullptr;
    }
    for (float*& plane : m_Planes) {
        if (plane == nullptr) {
            plane = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, StreamEnginePlaneBytes, StreamEngineTag));
        }
        complete = complete && plane != nullptr;
    }
    return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// ---------------------------------------------------------------------------------------------
// Direction, type, name, formats, path

ULONG StreamEngine::GetDirection() { return m_Direction; }

ULONG StreamEngine::GetEndpointType() {
    if (m_PathList == nullptr) return EndpointTypeCode(EndpointType::Stream);
    ULONG answer = EndpointTypeCode(EndpointType::Stream);
    ULONG typed = 0;  // capture: input connectors with a type
    for (PointerListNode* node = m_PathList->GetHeadPosition(); node != nullptr; node = node->Next) {
        auto* control = static_cast<AudioNode*>(node->Data);
        const ULONG kind = control->GetNodeKind();
        ULONG type = 0;
        if (m_Direction == StreamDirectionCapture) {
            if (kind == NodeKindCode(NodeKind::InputConnector) && TerminalTypeOf(control, &type) && type != 0) {
                ++typed;
                answer = type;
            }
            continue;
        }
        if (kind == NodeKindCode(NodeKind::TerminalType)) {
            TerminalTypeControl* typeControl = nullptr;
            if (NT_SUCCESS(control->QueryInterface(IID_TerminalTypeControl, reinterpret_cast<PVOID*>(&typeControl))) &&
                typeControl != nullptr) {
                if (!NT_SUCCESS(typeControl->GetType(&type))) type = EndpointTypeCode(EndpointType::Stream);
                typeControl->Release();
                return type;
            }
        }
        if (kind == NodeKindCode(NodeKind::OutputConnector) && TerminalTypeOf(control, &type)) answer = type;
    }
    if (m_Direction == StreamDirectionCapture && typed >= 2) return EndpointTypeCode(EndpointType::Record);
    return answer;
}

NTSTATUS StreamEngine::SetName(PCWSTR Name) {
    PAGED_CODE();
    if (Name == nullptr) return STATUS_INVALID_PARAMETER;
    size_t length = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(Name, StreamEngineNameChars, &length))) return STATUS_INVALID_PARAMETER;
    if (m_Name == nullptr) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(m_Name, Name, length * sizeof(WCHAR));
    m_Name[length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::GetName(PWSTR Name) {
    if (Name == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Name == nullptr) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(Name, m_Name, StreamEngineNameChars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

PointerList* StreamEngine::OfferedFormats() {
    // A two-channel endpoint without any two-channel record (a stream that takes more channels
    // than its device carries) offers what it has rather than nothing.
    if (m_Direction == StreamDirectionRender && IsTwoChannelType(GetEndpointType()) && m_TwoChannelFormats != nullptr &&
        m_TwoChannelFormats->GetCount() != 0) {
        return m_TwoChannelFormats;
    }
    return m_FormatList;
}

ULONG StreamEngine::GetFormatCount() {
    PointerList* list = OfferedFormats();
    return list != nullptr ? list->GetCount() : 0;
}

NTSTATUS StreamEngine::GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format) {
    if (Format == nullptr) return STATUS_INVALID_PARAMETER;
    PointerList* list = OfferedFormats();
    if (list == nullptr) return STATUS_UNSUCCESSFUL;
    if (Index >= list->GetCount()) return STATUS_INVALID_PARAMETER;
    PVOID record = nullptr;
    if (!list->GetAt(Index, &record) || record == nullptr) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(Format, record, StreamEngineFormatRecordBytes);
    return STATUS_SUCCESS;
}

ULONG StreamEngine::GetNodeCount() { return m_PathList != nullptr ? m_PathList->GetCount() : 0; }

NTSTATUS StreamEngine::GetNode(ULONG Index, AudioNode** Node) {
    if (Node == nullptr) return STATUS_INVALID_PARAMETER;
    *Node = nullptr;
    if (m_PathList == nullptr) return STATUS_UNSUCCESSFUL;
    if (Index >= m_PathList->GetCount()) return STATUS_INVALID_PARAMETER;
    PVOID data = nullptr;
    if (!m_PathList->GetAt(Index, &data)) return STATUS_INVALID_PARAMETER;
    *Node = static_cast<AudioNode*>(data);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::GetStage(ULONG Index, ProcessingStage** Stage) {
    if (Stage == nullptr) return STATUS_INVALID_PARAMETER;
    *Stage = nullptr;
    PVOID data = nullptr;
    if (m_ProcessingList == nullptr || !m_ProcessingList->GetAt(Index, &data)) return STATUS_INVALID_PARAMETER;
    *Stage = static_cast<ProcessingStage*>(data);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::FindFormat(PWAVEFORMATEX Format) {
    if (Format == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_FormatList == nullptr) return STATUS_NO_MATCH;
    const bool extensible = Format->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    // An extensible record is compared as far as it says it goes, but never beyond its 40 bytes.
    const ULONG extra = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    const SIZE_T compared = sizeof(WAVEFORMATEX) + (Format->cbSize < extra ? Format->cbSize : extra);
    for (PointerListNode* node = m_FormatList->GetHeadPosition(); node != nullptr; node = node->Next) {
        auto* record = static_cast<const WAVEFORMATEXTENSIBLE*>(node->Data);
        if (extensible) {
            if (RtlEqualMemory(record, Format, compared)) return STATUS_SUCCESS;
            continue;
        }
        if (record->Format.nChannels != Format->nChannels || record->Format.nSamplesPerSec != Format->nSamplesPerSec ||
            record->Format.wBitsPerSample != Format->wBitsPerSample ||
            static_cast<USHORT>(record->SubFormat.Data1 & 0xFFFF) != Format->wFormatTag) {
            continue;
        }
        // The caller's 18-byte head is completed from the record; its tag stays.
        const WORD tag = Format->wFormatTag;
        RtlCopyMemory(Format, &record->Format, offsetof(WAVEFORMATEX, cbSize));
        Format->wFormatTag = tag;
        Format->cbSize = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS StreamEngine::IsJackPresent(PBOOLEAN Present) {
    PAGED_CODE();
    if (Present == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG connectorKind = NodeKindCode(m_Direction == StreamDirectionRender ? NodeKind::OutputConnector
                                                                                  : NodeKind::InputConnector);
    BOOLEAN present = FALSE;
    for (PointerListNode* node = m_PathList != nullptr ? m_PathList->GetHeadPosition() : nullptr;
         node != nullptr && !present; node = node->Next) {
        auto* control = static_cast<AudioNode*>(node->Data);
        if (control->GetNodeKind() != connectorKind) continue;
        TerminalInfo* info = nullptr;
        if (!NT_SUCCESS(control->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info))) ||
            info == nullptr) {
            continue;
        }
        ULONG type = 0;
        ULONG jacks = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (NT_SUCCESS(info->GetTerminalType(&type)) && type != 0 && NT_SUCCESS(info->GetJackCount(&jacks, 0))) {
            const ULONGLONG bytes = static_cast<ULONGLONG>(jacks) * StreamEngineJackRecordBytes;
            if (jacks == 0) {
                present = TRUE;  // nothing to detect: counts as plugged in
            } else if (bytes <= MAXULONG) {
                auto* records = static_cast<PULONG>(
                    ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(bytes), StreamEngineTag));
                if (records == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                } else {
                    if (NT_SUCCESS(info->GetJackDescriptions(static_cast<ULONG>(bytes), records, 0))) {
                        for (ULONG jack = 0; jack < jacks && !present; ++jack) {
                            const ULONG words = StreamEngineJackRecordBytes / sizeof(ULONG);
                            if ((records[jack * words + StreamEngineJackIsConnectedWord] & 0xFF) != 0) present = TRUE;
                        }
                    }
                    ExFreePoolWithTag(records, StreamEngineTag);
                }
            }
        }
        info->Release();
        // Without the records the state is unknown; the caller leaves the subdevice as it is.
        if (!NT_SUCCESS(status)) return status;
    }
    *Present = present;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Creator, topology, callbacks, power

NTSTATUS StreamEngine::SetMiniportCreator(EngineMiniportCreator Creator, REFCLSID PortClassId) {
    PAGED_CODE();
    if (Creator == nullptr) return STATUS_NO_SUCH_DEVICE;
    m_MiniportCreator = Creator;
    m_PortClassId = PortClassId;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetTopologyPort(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) {
    PAGED_CODE();
    if (TopologyPort == nullptr || TopologyMiniport == nullptr) return STATUS_NO_SUCH_DEVICE;
    TopologyPort->AddRef();
    if (m_TopologyPort != nullptr) m_TopologyPort->Release();
    m_TopologyPort = TopologyPort;
    // The port holds its miniport, so the miniport's interface is kept without a reference.
    SubdeviceInfo* info = nullptr;
    if (NT_SUCCESS(TopologyMiniport->QueryInterface(IID_SubdeviceInfo, reinterpret_cast<PVOID*>(&info))) &&
        info != nullptr) {
        info->Release();
    } else {
        info = nullptr;
    }
    m_TopologyInfo = info;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
    if (Registration == nullptr) return STATUS_INVALID_PARAMETER;
    *Registration = nullptr;
    if (m_CallbackObject == nullptr || Callback == nullptr) return STATUS_UNSUCCESSFUL;
    *Registration = ExRegisterCallback(m_CallbackObject, Callback, Context);
    return *Registration != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS StreamEngine::UnregisterCallback(PVOID Registration) {
    if (Registration != nullptr) ExUnregisterCallback(Registration);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetPowerState(DEVICE_POWER_STATE NewState) {
    UNREFERENCED_PARAMETER(NewState);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Client and attached lists

PointerList* StreamEngine::ClientListOf(ClientList List) const {
    switch (List) {
        case ClientList::Registered: return m_RegisteredClients;
        case ClientList::Format: return m_FormatClients;
        case ClientList::Started: return m_StartedClients;
    }
    return nullptr;
}

PointerList* StreamEngine::AttachedListOf(AttachedList List) const {
    return List == AttachedList::First ? m_FirstAttached : m_SecondAttached;
}

NTSTATUS StreamEngine::AddRegisteredClient(StreamClient* Client) {
    if (Client == nullptr) return STATUS_INVALID_PARAMETER;
    EngineLockScope lock(&m_SpinLock);
    if (m_RegisteredClients == nullptr) return STATUS_UNSUCCESSFUL;
    return m_RegisteredClients->AddTail(Client) != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS StreamEngine::InsertClientByKind(ClientList List, StreamClient* Client) {
    if (Client == nullptr || List == ClientList::Registered) return STATUS_INVALID_PARAMETER;
    EngineLockScope lock(&m_SpinLock);
    PointerList* list = ClientListOf(List);
    if (list == nullptr) return STATUS_UNSUCCESSFUL;
    // In front of the first client whose kind is not higher.
    PointerListNode* before = list->GetHeadPosition();
    while (before != nullptr && static_cast<StreamClient*>(before->Data)->Kind > Client->Kind) before = before->Next;
    if (before == nullptr) {
        return list->AddTail(Client) != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    const bool kindPresent = static_cast<StreamClient*>(before->Data)->Kind == Client->Kind;
    if (list->InsertBefore(before, Client) != nullptr) return STATUS_SUCCESS;
    return kindPresent ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
}

StreamClient* StreamEngine::FindClient(ClientList List, PVOID Registration) {
    EngineLockScope lock(&m_SpinLock);
    PointerList* list = ClientListOf(List);
    if (list == nullptr) return nullptr;
    PointerListNode* node = FindClientNode(list, Registration);
    return node != nullptr ? static_cast<StreamClient*>(node->Data) : nullptr;
}

StreamClient* StreamEngine::RemoveClient(ClientList List, PVOID Registration) {
    EngineLockScope lock(&m_SpinLock);
    PointerList* list = ClientListOf(List);
    if (list == nullptr) return nullptr;
    PointerListNode* node = FindClientNode(list, Registration);
    if (node == nullptr) return nullptr;
    auto* client = static_cast<StreamClient*>(node->Data);
    list->RemoveNode(node);
    return client;
}

StreamClient* StreamEngine::GetHeadClient(ClientList List) {
    EngineLockScope lock(&m_SpinLock);
    PointerList* list = ClientListOf(List);
    PVOID head = nullptr;
    if (list == nullptr || !list->GetHeadData(&head)) return nullptr;
    return static_cast<StreamClient*>(head);
}

NTSTATUS StreamEngine::AttachStage(AttachedList List, ProcessingStage* Stage) {
    if (Stage == nullptr) return STATUS_INVALID_PARAMETER;
    Stage->AddRef();
    NTSTATUS status;
    {
        EngineLockScope lock(&m_SpinLock);
        PointerList* list = AttachedListOf(List);
        if (list == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = list->AddTail(Stage) != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) Stage->Release();
    return status;
}

NTSTATUS StreamEngine::DetachStage(AttachedList List, ProcessingStage* Stage) {
    if (Stage == nullptr) return STATUS_INVALID_PARAMETER;
    bool found = false;
    {
        EngineLockScope lock(&m_SpinLock);
        PointerList* list = AttachedListOf(List);
        for (PointerListNode* node = list != nullptr ? list->GetHeadPosition() : nullptr; node != nullptr;
             node = node->Next) {
            if (node->Data == Stage) {
                list->RemoveNode(node);
                found = true;
                break;
            }
        }
    }
    if (!found) return STATUS_UNSUCCESSFUL;
    Stage->Release();  // outside the lock: the last release may run a destructor
    return STATUS_SUCCESS;
}
