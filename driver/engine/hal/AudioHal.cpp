#include "driver/engine/hal/AudioHal.h"

#include <new>

namespace {

PointerList* NewHalList() {
    PVOID memory = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, sizeof(PointerList), AudioHalListTag);
    if (memory == nullptr) return nullptr;
    return new (memory) PointerList();
}

// Releases the reference the list holds on each entry, then frees the list; List ends null.
template <class Entry>
void FreeHalList(PointerList*& List) {
    if (List == nullptr) return;
    PVOID data = nullptr;
    while (List->RemoveHead(&data)) static_cast<Entry*>(data)->Release();
    List->~PointerList();
    ExFreePoolWithTag(List, AudioHalListTag);
    List = nullptr;
}

template <class Entry>
NTSTATUS EntryAt(PointerList* List, ULONG Index, Entry** Answer) {
    if (Answer == nullptr) return STATUS_INVALID_PARAMETER;
    *Answer = nullptr;
    if (List == nullptr) return STATUS_UNSUCCESSFUL;
    if (Index >= List->GetCount()) return STATUS_INVALID_PARAMETER;
    PVOID data = nullptr;
    if (!List->GetAt(Index, &data)) return STATUS_INVALID_PARAMETER;
    *Answer = static_cast<Entry*>(data);
    return STATUS_SUCCESS;
}

template <class Entry>
NTSTATUS AppendWithReference(PointerList* List, Entry* Object) {
    if (Object == nullptr) return STATUS_INVALID_PARAMETER;
    if (List == nullptr) return STATUS_UNSUCCESSFUL;
    Object->AddRef();
    if (List->AddTail(Object) == nullptr) {
        Object->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

bool Contains(AudioNode* const* Nodes, ULONG Count, const AudioNode* Node) {
    for (ULONG i = 0; i < Count; ++i) {
        if (Nodes[i] == Node) return true;
    }
    return false;
}

}  // namespace

AudioHal::AudioHal(PUNKNOWN UnknownOuter)
    : CKernelUnknown(UnknownOuter),
      m_DeviceObject(nullptr),
      m_LowerDeviceObject(nullptr),
      m_PhysicalDeviceObject(nullptr),
      m_PowerState(PowerDeviceUnspecified),
      m_CallbackObject(nullptr),
      m_NodeList(nullptr),
      m_EngineList(nullptr),
      m_EndpointInfo{},
      m_BindingLookups(0) {}

AudioHal::~AudioHal() {
    FreeHalList<AudioNode>(m_NodeList);
    FreeHalList<StreamEngine>(m_EngineList);
    if (m_CallbackObject != nullptr) {
        // Created permanent, so its name outlives every reference until it is made temporary.
        ObMakeTemporaryObject(m_CallbackObject);
        ObDereferenceObject(m_CallbackObject);
        m_CallbackObject = nullptr;
    }
}

NTSTATUS AudioHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_AdapterCommon, static_cast<AdapterCommon*>(this)},
        {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// ---------------------------------------------------------------------------------------------
// Set-up

NTSTATUS AudioHal::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT LowerDeviceObject,
                        PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourceList);  // a USB device has no resources of its own
    // Lists or a callback object from an earlier call would be lost.
    if (m_NodeList != nullptr || m_EngineList != nullptr || m_CallbackObject != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    m_NodeList = NewHalList();
    m_EngineList = NewHalList();
    if (m_NodeList != nullptr && m_EngineList != nullptr) status = CreateCallbackObject();

    if (NT_SUCCESS(status)) {
        m_PhysicalDeviceObject = PhysicalDeviceObject;
        m_DeviceObject = DeviceObject;
        m_LowerDeviceObject = LowerDeviceObject;
        m_PowerState = PowerDeviceD0;
        status = Identify();
        if (NT_SUCCESS(status)) status = BindStreams();
    }
    if (!NT_SUCCESS(status)) {
        // Freed here once and left null, so the destructor finds nothing more to free.
        FreeHalList<AudioNode>(m_NodeList);
        FreeHalList<StreamEngine>(m_EngineList);
    }
    return status;
}

NTSTATUS AudioHal::CreateCallbackObject() {
    PAGED_CODE();
    auto* name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, AudioHalCallbackNameChars * sizeof(WCHAR), AudioHalNameTag));
    if (name == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = RtlStringCchPrintfW(name, AudioHalCallbackNameChars, KV_WIDE("\\Callback\\AudioHalAddr%p"),
                                          static_cast<PVOID>(this));
    if (NT_SUCCESS(status)) {
        UNICODE_STRING callbackName;
        RtlInitUnicodeString(&callbackName, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
        status = ExCreateCallback(&m_CallbackObject, &attributes, TRUE, TRUE);
        if (!NT_SUCCESS(status)) m_CallbackObject = nullptr;
    }
    ExFreePoolWithTag(name, AudioHalNameTag);
    return status;
}

NTSTATUS AudioHal::AddNode(AudioNode* Node) { return AppendWithReference(m_NodeList, Node); }

NTSTATUS AudioHal::AddStreamEngine(StreamEngine* Engine) { return AppendWithReference(m_EngineList, Engine); }

NTSTATUS AudioHal::FindNode(ULONG Id, AudioNode** Node) {
    if (Node == nullptr) return STATUS_INVALID_PARAMETER;
    *Node = nullptr;
    if (m_NodeList == nullptr) return STATUS_UNSUCCESSFUL;
    PointerListNode* position = m_NodeList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_NodeList->GetNext(&position, &data)) {
        auto* node = static_cast<AudioNode*>(data);
        if (node->GetId() == Id) *Node = node;  // the last match wins
    }
    return *Node != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------------------------
// Selector binding

NTSTATUS AudioHal::BindStreams() {
    PAGED_CODE();
    m_BindingLookups = 0;
    if (m_NodeList != nullptr) {
        const ULONG nodeCount = m_NodeList->GetCount();
        // Allocated with the first selector: scratch for the upstream walks, then the nodes by id.
        AudioNode** walk = nullptr;
        AudioNode** byId = nullptr;
        PointerListNode* position = m_NodeList->GetHeadPosition();
        PVOID data = nullptr;
        while (m_NodeList->GetNext(&position, &data)) {
            auto* node = static_cast<AudioNode*>(data);
            if (node->GetNodeKind() != NodeKindCode(NodeKind::Selector)) continue;
            if (node->GetSourceCount() > AudioHalMaxSelectorSources) continue;
            ULONG sources[AudioHalMaxSelectorSources] = {};
            ULONG sourceCount = AudioHalMaxSelectorSources;
            if (!NT_SUCCESS(node->GetSources(&sourceCount, sources)) || sourceCount == 0) continue;
            Selector* selector = nullptr;
            if (!NT_SUCCESS(node->QueryInterface(IID_Selector, reinterpret_cast<PVOID*>(&selector))) ||
                selector == nullptr) {
                continue;
            }
            if (walk == nullptr) {
                walk = static_cast<AudioNode**>(ExAllocatePoolWithTag(
                    PagedPool, 2 * static_cast<SIZE_T>(nodeCount) * sizeof(AudioNode*), AudioHalListTag));
                if (walk == nullptr) {
                    selector->Release();
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                byId = walk + nodeCount;
                RtlZeroMemory(byId, static_cast<SIZE_T>(nodeCount) * sizeof(AudioNode*));
                PointerListNode* entry = m_NodeList->GetHeadPosition();
                PVOID listed = nullptr;
                while (m_NodeList->GetNext(&entry, &listed)) {
                    auto* indexed = static_cast<AudioNode*>(listed);
                    if (indexed->GetId() < nodeCount) byId[indexed->GetId()] = indexed;  // the last match wins
                }
            }
            for (ULONG input = 1; input <= sourceCount; ++input) {
                BindSelectorInput(selector, input, sources[input - 1], walk, byId);
            }
            selector->Release();
        }
        if (walk != nullptr) ExFreePoolWithTag(walk, AudioHalListTag);
    }
    return ApplyAllValues();
}

AudioNode* AudioHal::LookUpNode(AudioNode* const* ById, ULONG Id) {
    const ULONG count = m_NodeList->GetCount();
    if (Id < count) {
        ++m_BindingLookups;
        return ById[Id];
    }
    m_BindingLookups += count;
    AudioNode* node = nullptr;
    return NT_SUCCESS(FindNode(Id, &node)) ? node : nullptr;
}

void AudioHal::BindSelectorInput(Selector* InputSelector, ULONG Input, ULONG SourceId, AudioNode** Walk,
                                 AudioNode* const* ById) {
    PAGED_CODE();
    // Collect the chain of single-source nodes upstream of the input. Each node has one
    // successor, so a node met twice closes a cycle: the walk ends there, and the chain never
    // holds more nodes than the list.
    const ULONG capacity = m_NodeList->GetCount();
    ULONG length = 0;
    ULONG id = SourceId;
    for (;;) {
        AudioNode* node = LookUpNode(ById, id);
        if (node == nullptr || node->GetSourceCount() != 1) break;
        if (length == capacity || Contains(Walk, length, node)) break;
        ULONG count = 1;
        ULONG next = 0;
        if (!NT_SUCCESS(node->GetSources(&count, &next)) || count != 1) break;
        Walk[length++] = node;
        id = next;
    }

    // The node farthest upstream registers first.
    while (length != 0) {
        AudioNode* node = Walk[--length];
        ULONG selection = 0;
        const NTSTATUS selected = InputSelector->GetSelected(&selection);
        SelectorListener* listener = nullptr;
        if (!NT_SUCCESS(node->QueryInterface(IID_SelectorListener, reinterpret_cast<PVOID*>(&listener))) ||
            listener == nullptr) {
            continue;
        }
        InputSelector->AddListener(listener);
        listener->SetSelectorInput(Input);
        if (NT_SUCCESS(selected)) listener->OnSelectionChanged(selection);
        listener->Release();
    }
}

NTSTATUS AudioHal::ApplyAllValues() {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    if (m_NodeList == nullptr) return status;
    PointerListNode* position = m_NodeList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_NodeList->GetNext(&position, &data)) {
        status = static_cast<AudioNode*>(data)->ApplyValues();
        if (!NT_SUCCESS(status)) break;
    }
    return status;
}

// ---------------------------------------------------------------------------------------------
// AdapterCommon

NTSTATUS AudioHal::GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) {
    UNREFERENCED_PARAMETER(EngineIndex);
    if (Info == nullptr) return STATUS_INVALID_PARAMETER;
    *Info = m_EndpointInfo;
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::GetEndpointCaps(ULONG Direction, ULONG EndpointType, EndpointInfo* Info) {
    UNREFERENCED_PARAMETER(Direction);
    UNREFERENCED_PARAMETER(EndpointType);
    if (Info == nullptr) return STATUS_INVALID_PARAMETER;
    *Info = m_EndpointInfo;
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::GetComponentId(PKSCOMPONENTID ComponentId) {
    UNREFERENCED_PARAMETER(ComponentId);
    return STATUS_INVALID_DEVICE_REQUEST;  // the adapter answers it
}

ULONG AudioHal::GetStreamEngineCount() { return m_EngineList != nullptr ? m_EngineList->GetCount() : 0; }

NTSTATUS AudioHal::GetStreamEngine(ULONG Index, StreamEngine** Engine) {
    return EntryAt(m_EngineList, Index, Engine);
}

ULONG AudioHal::GetNodeCount() { return m_NodeList != nullptr ? m_NodeList->GetCount() : 0; }

NTSTATUS AudioHal::GetNode(ULONG Index, AudioNode** Node) { return EntryAt(m_NodeList, Index, Node); }

PDEVICE_OBJECT AudioHal::GetDeviceObject() { return m_DeviceObject; }

NTSTATUS AudioHal::Start() {
    PAGED_CODE();
    if (m_NodeList == nullptr) return STATUS_SUCCESS;
    PointerListNode* position = m_NodeList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_NodeList->GetNext(&position, &data)) static_cast<AudioNode*>(data)->OnHalStart();
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::Stop() {
    PAGED_CODE();
    if (m_NodeList == nullptr) return STATUS_SUCCESS;
    PointerListNode* position = m_NodeList->GetHeadPosition();
    PVOID data = nullptr;
    while (m_NodeList->GetNext(&position, &data)) static_cast<AudioNode*>(data)->OnHalStop();
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::RegisterChangeCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
    PAGED_CODE();
    if (Callback == nullptr || Registration == nullptr) return STATUS_INVALID_PARAMETER;
    *Registration = nullptr;
    if (m_CallbackObject == nullptr) return STATUS_UNSUCCESSFUL;
    *Registration = ExRegisterCallback(m_CallbackObject, Callback, Context);
    return *Registration != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS AudioHal::UnregisterChangeCallback(PVOID Registration) {
    PAGED_CODE();
    if (Registration == nullptr) return STATUS_INVALID_PARAMETER;
    ExUnregisterCallback(Registration);
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::WaitIdle() { return STATUS_SUCCESS; }

NTSTATUS AudioHal::Identify() { return STATUS_NOT_IMPLEMENTED; }

// ---------------------------------------------------------------------------------------------
// IAdapterPowerManagement

void AudioHal::PowerChangeState(POWER_STATE NewState) {
    PAGED_CODE();
    const ULONG state = static_cast<ULONG>(NewState.DeviceState);
    if (state == m_PowerState) return;
    // Back in D0 the device may have lost its settings: write every stored value again.
    if (state == PowerDeviceD0) ApplyAllValues();
    if (state >= PowerDeviceD0 && state <= PowerDeviceD3) m_PowerState = state;
}

NTSTATUS AudioHal::QueryPowerChangeState(POWER_STATE NewStateQuery) {
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
    if (PowerDeviceCaps == nullptr) return STATUS_INVALID_PARAMETER;
    PowerDeviceCaps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}
