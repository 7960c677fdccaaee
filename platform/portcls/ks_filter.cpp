// Kernel-streaming filters of the port-class library: a create on a registered subdevice's name
// opens its filter, a create relative to a filter file opens one of its pins; properties and
// events arrive as METHOD_NEITHER device-control requests on either file. The library answers the
// pin and topology sets from the miniport's filter descriptor itself and passes everything else
// to the handlers of the descriptor's automation tables with the published request records.
#include "ks_objects.h"

#include "../kernel/io_manager.h"

#include <sim/registry.h>
#include <sim/verifier.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace sim::portcls {
namespace {

constexpr ULONG kRangeAlignment = 8;  // data ranges in a multiple-item answer start on 8 bytes

ULONG AlignUp(ULONG value) { return (value + kRangeAlignment - 1) & ~(kRangeAlignment - 1); }

// Enabled events, owned here; the port's list only points at them.
std::mutex g_eventLock;
std::vector<std::unique_ptr<_KSEVENT_ENTRY>> g_eventEntries;

std::mutex g_instanceLock;
std::map<std::pair<PPORT, ULONG>, ULONG> g_globalInstances;

// A value answer: the size when the caller asks with no buffer, the bytes when they fit.
NTSTATUS Answer(PVOID out, ULONG outLength, const void* data, ULONG size, ULONG_PTR* information) {
    if (outLength == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outLength < size) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(out, data, size);
    *information = size;
    return STATUS_SUCCESS;
}

template <class T>
NTSTATUS AnswerValue(PVOID out, ULONG outLength, const T& value, ULONG_PTR* information) {
    return Answer(out, outLength, &value, sizeof(T), information);
}

// A KSMULTIPLE_ITEM answer built from fixed-size items.
NTSTATUS AnswerItems(PVOID out, ULONG outLength, const void* items, ULONG itemSize, ULONG count,
                     ULONG_PTR* information) {
    std::vector<UCHAR> buffer(sizeof(KSMULTIPLE_ITEM) + size_t(itemSize) * count);
    KSMULTIPLE_ITEM head{static_cast<ULONG>(buffer.size()), count};
    std::memcpy(buffer.data(), &head, sizeof(head));
    if (count != 0) std::memcpy(buffer.data() + sizeof(head), items, size_t(itemSize) * count);
    return Answer(out, outLength, buffer.data(), static_cast<ULONG>(buffer.size()), information);
}

// The display name of a pin or node name GUID, as the media categories in the registry give it.
NTSTATUS AnswerName(const GUID* name, PVOID out, ULONG outLength, ULONG_PTR* information) {
    if (name == nullptr) return STATUS_NOT_FOUND;
    UNICODE_STRING text{};
    if (!NT_SUCCESS(RtlStringFromGUID(*name, &text))) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\" +
                         sim::io::FromUnicodeString(&text);
    RtlFreeUnicodeString(&text);
    std::optional<sim::registry::Value> value = sim::registry::GetValue(key, u"Name");
    if (!value || value->type != REG_SZ) return STATUS_NOT_FOUND;
    std::vector<UCHAR> bytes = value->data;
    if (bytes.size() < sizeof(WCHAR) || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return Answer(out, outLength, bytes.data(), static_cast<ULONG>(bytes.size()), information);
}

const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* d, ULONG pin) {
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) + size_t(d->PinSize) * pin);
}

const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* d, ULONG node) {
    return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Nodes) +
                                                      size_t(d->NodeSize) * node);
}

// The filter's pin set: counts, flows, ranges and intersections from the descriptor.
NTSTATUS PinSetProperty(KsFilter* f, const UCHAR* in, ULONG inLength, PVOID out, ULONG outLength,
                        ULONG_PTR* information) {
    const PCFILTER_DESCRIPTOR* d = f->self->Description();
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof(property));
    if ((property.Flags & KSPROPERTY_TYPE_GET) == 0) return STATUS_INVALID_DEVICE_REQUEST;
    if (property.Id == KSPROPERTY_PIN_CTYPES) return AnswerValue(out, outLength, d->PinCount, information);
    if (inLength < sizeof(KSP_PIN)) return STATUS_INVALID_PARAMETER;
    KSP_PIN request;
    std::memcpy(&request, in, sizeof(request));
    if (request.PinId >= d->PinCount) return STATUS_INVALID_PARAMETER;
    const PCPIN_DESCRIPTOR* pin = PinDescriptor(d, request.PinId);
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    switch (property.Id) {
        case KSPROPERTY_PIN_CINSTANCES: {
            std::lock_guard<std::mutex> guard(f->lock);
            KSPIN_CINSTANCES count{pin->MaxFilterInstanceCount, f->pinInstances[request.PinId]};
            return AnswerValue(out, outLength, count, information);
        }
        case KSPROPERTY_PIN_GLOBALCINSTANCES: {
            KSPIN_CINSTANCES count{pin->MaxGlobalInstanceCount, GlobalPinInstances(f->port, request.PinId)};
            return AnswerValue(out, outLength, count, information);
        }
        case KSPROPERTY_PIN_NECESSARYINSTANCES:
            return AnswerValue(out, outLength, pin->MinFilterInstanceCount, information);
        case KSPROPERTY_PIN_DATAFLOW:
            return AnswerValue(out, outLength, static_cast<ULONG>(ks.DataFlow), information);
        case KSPROPERTY_PIN_COMMUNICATION:
            return AnswerValue(out, outLength, static_cast<ULONG>(ks.Communication), information);
        case KSPROPERTY_PIN_CATEGORY:
            if (ks.Category == nullptr) return STATUS_NOT_FOUND;
            return AnswerValue(out, outLength, *ks.Category, information);
        case KSPROPERTY_PIN_NAME:
            return AnswerName(ks.Name != nullptr ? ks.Name : ks.Category, out, outLength, information);
        case KSPROPERTY_PIN_INTERFACES:
            return AnswerItems(out, outLength, ks.Interfaces, sizeof(KSPIN_INTERFACE), ks.InterfacesCount, information);
        case KSPROPERTY_PIN_MEDIUMS:
            return AnswerItems(out, outLength, ks.Mediums, sizeof(KSPIN_MEDIUM), ks.MediumsCount, information);
        case KSPROPERTY_PIN_DATARANGES: {
            std::vector<UCHAR> buffer(sizeof(KSMULTIPLE_ITEM));
            for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
                const KSDATARANGE* range = ks.DataRanges[i];
                size_t at = buffer.size();
                buffer.resize(at + AlignUp(range->FormatSize));
                std::memcpy(buffer.data() + at, range, range->FormatSize);
            }
            KSMULTIPLE_ITEM head{static_cast<ULONG>(buffer.size()), ks.DataRangesCount};
            std::memcpy(buffer.data(), &head, sizeof(head));
            return Answer(out, outLength, buffer.data(), static_cast<ULONG>(buffer.size()), information);
        }
        case KSPROPERTY_PIN_DATAINTERSECTION: {
            // The client's ranges follow the request: a KSMULTIPLE_ITEM and the ranges, each bounded
            // by what the caller sent before it is read.
            ULONG at = sizeof(KSP_PIN);
            if (inLength - at < sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_PARAMETER;
            KSMULTIPLE_ITEM items;
            std::memcpy(&items, in + at, sizeof(items));
            if (items.Size < sizeof(items) || items.Size > inLength - at) return STATUS_INVALID_PARAMETER;
            ULONG end = at + items.Size;
            at += sizeof(items);
            auto* miniport = static_cast<IMiniport*>(nullptr);
            if (!NT_SUCCESS(f->miniport->QueryInterface(IID_IMiniport, reinterpret_cast<PVOID*>(&miniport)))) {
                return STATUS_NO_MATCH;
            }
            NTSTATUS status = STATUS_NO_MATCH;
            for (ULONG i = 0; i < items.Count && status == STATUS_NO_MATCH; ++i) {
                if (end - at < sizeof(KSDATARANGE)) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                KSDATARANGE head;
                std::memcpy(&head, in + at, sizeof(head));
                if (head.FormatSize < sizeof(KSDATARANGE) || head.FormatSize > end - at) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                std::vector<UCHAR> client(in + at, in + at + head.FormatSize);
                for (ULONG r = 0; r < ks.DataRangesCount && status == STATUS_NO_MATCH; ++r) {
                    PKSDATARANGE own = ks.DataRanges[r];
                    if (!IsEqualGUID(own->MajorFormat, head.MajorFormat) && !IsEqualGUID(head.MajorFormat, GUID_NULL)) {
                        continue;
                    }
                    ULONG resultLength = 0;
                    status = miniport->DataRangeIntersection(request.PinId, reinterpret_cast<PKSDATARANGE>(client.data()),
                                                             own, outLength, out, &resultLength);
                    if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) *information = resultLength;
                    if (status == STATUS_NOT_IMPLEMENTED) status = STATUS_NO_MATCH;
                }
                at += AlignUp(head.FormatSize);
                if (at > end) at = end;
            }
            miniport->Release();
            return status;
        }
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS TopologySetProperty(KsFilter* f, const UCHAR* in, ULONG inLength, PVOID out, ULONG outLength,
                             ULONG_PTR* information) {
    const PCFILTER_DESCRIPTOR* d = f->self->Description();
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof(property));
    if ((property.Flags & KSPROPERTY_TYPE_GET) == 0) return STATUS_INVALID_DEVICE_REQUEST;
    switch (property.Id) {
        case KSPROPERTY_TOPOLOGY_CATEGORIES:
            return AnswerItems(out, outLength, d->Categories, sizeof(GUID), d->CategoryCount, information);
        case KSPROPERTY_TOPOLOGY_NODES: {
            std::vector<GUID> types;
            for (ULONG i = 0; i < d->NodeCount; ++i) {
                const GUID* type = NodeDescriptor(d, i)->Type;
                types.push_back(type != nullptr ? *type : GUID_NULL);
            }
            return AnswerItems(out, outLength, types.data(), sizeof(GUID), d->NodeCount, information);
        }
        case KSPROPERTY_TOPOLOGY_CONNECTIONS:
            return AnswerItems(out, outLength, d->Connections, sizeof(KSTOPOLOGY_CONNECTION), d->ConnectionCount,
                               information);
        case KSPROPERTY_TOPOLOGY_NAME: {
            if (inLength < sizeof(KSP_NODE)) return STATUS_INVALID_PARAMETER;
            KSP_NODE request;
            std::memcpy(&request, in, sizeof(request));
            if (request.NodeId >= d->NodeCount) return STATUS_INVALID_PARAMETER;
            const PCNODE_DESCRIPTOR* node = NodeDescriptor(d, request.NodeId);
            return AnswerName(node->Name != nullptr ? node->Name : node->Type, out, outLength, information);
        }
        default:
            return STATUS_NOT_FOUND;
    }
}

template <class Item>
const Item* FindItem(const Item* items, ULONG itemSize, ULONG count, const GUID& set, ULONG id) {
    if (items == nullptr || itemSize < sizeof(Item)) return nullptr;
    for (ULONG i = 0; i < count; ++i) {
        auto* item = reinterpret_cast<const Item*>(reinterpret_cast<const UCHAR*>(items) + size_t(itemSize) * i);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id) return item;
    }
    return nullptr;
}

// A request served by a handler of the miniport's automation table.
NTSTATUS AutomationProperty(const PCAUTOMATION_TABLE* table, PUNKNOWN major, PUNKNOWN minor, ULONG node, PIRP irp,
                            const UCHAR* in, ULONG inLength, ULONG headerSize, PVOID out, ULONG outLength,
                            ULONG_PTR* information) {
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof(property));
    if (table == nullptr) return STATUS_NOT_FOUND;
    const PCPROPERTY_ITEM* item =
        FindItem(table->Properties, table->PropertyItemSize, table->PropertyCount, property.Set, property.Id);
    if (item == nullptr || item->Handler == nullptr) return STATUS_NOT_FOUND;
    const ULONG verb = property.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
    if (verb == 0) return STATUS_INVALID_PARAMETER;
    if ((item->Flags & verb) == 0) {
        // Basic support of an item whose handler does not answer it: the access the item allows.
        if (verb == KSPROPERTY_TYPE_BASICSUPPORT) {
            ULONG access = item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
            return AnswerValue(out, outLength, access, information);
        }
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PCPROPERTY_REQUEST request{};
    request.MajorTarget = major;
    request.MinorTarget = minor;
    request.Node = node;
    request.PropertyItem = item;
    request.Verb = property.Flags;
    request.InstanceSize = inLength - headerSize;
    request.Instance = request.InstanceSize != 0 ? const_cast<UCHAR*>(in) + headerSize : nullptr;
    request.ValueSize = outLength;
    request.Value = outLength != 0 ? out : nullptr;
    request.Irp = irp;
    NTSTATUS status = item->Handler(&request);
    if (status == STATUS_PENDING) {
        sim::BugCheck("PORTCLS_PENDING_PROPERTY", "the handler of property %lu answered STATUS_PENDING; property "
                      "handlers of the simulated port-class library complete synchronously",
                      static_cast<unsigned long>(property.Id));
    }
    // A handler that claims more bytes than the caller gave has written past the value buffer.
    if (NT_SUCCESS(status) && outLength != 0 && request.ValueSize > outLength) {
        sim::BugCheck("PORTCLS_VALUE_OVERRUN", "the handler of property %lu reported %lu value bytes of a %lu-byte buffer",
                      static_cast<unsigned long>(property.Id), static_cast<unsigned long>(request.ValueSize),
                      static_cast<unsigned long>(outLength));
    }
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) *information = request.ValueSize;
    return status;
}

// A node property (KSPROPERTY_TYPE_TOPOLOGY): the node's own automation table.
NTSTATUS NodeProperty(KsFilter* f, PUNKNOWN minor, PIRP irp, const UCHAR* in, ULONG inLength, PVOID out,
                      ULONG outLength, ULONG_PTR* information) {
    const PCFILTER_DESCRIPTOR* d = f->self->Description();
    if (inLength < sizeof(KSP_NODE)) return STATUS_INVALID_PARAMETER;
    KSP_NODE request;
    std::memcpy(&request, in, sizeof(request));
    if (request.NodeId >= d->NodeCount) return STATUS_INVALID_PARAMETER;
    return AutomationProperty(NodeDescriptor(d, request.NodeId)->AutomationTable, f->miniport, minor, request.NodeId,
                              irp, in, inLength, sizeof(KSP_NODE), out, outLength, information);
}

NTSTATUS Property(PFILE_OBJECT file, PIRP irp, const UCHAR* in, ULONG inLength, PVOID out, ULONG outLength,
                  ULONG_PTR* information) {
    if (in == nullptr || inLength < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
    if (outLength != 0 && out == nullptr) return STATUS_INVALID_PARAMETER;
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof(property));
    KsPin* pin = PinOf(file);
    KsFilter* f = pin != nullptr ? pin->filter : FilterOf(file);
    if (f == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const PCFILTER_DESCRIPTOR* d = f->self->Description();
    if (d == nullptr) return STATUS_INVALID_DEVICE_STATE;
    PUNKNOWN minor = pin != nullptr ? static_cast<PUNKNOWN>(pin->stream) : nullptr;
    if ((property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        return NodeProperty(f, minor, irp, in, inLength, out, outLength, information);
    }
    if (pin != nullptr) {
        NTSTATUS status = PinProperty(pin, property, out, outLength, information);
        if (status != STATUS_NOT_FOUND) return status;
        return AutomationProperty(PinDescriptor(d, pin->pinId)->AutomationTable, f->miniport, minor, ULONG(-1), irp, in,
                                  inLength, sizeof(KSPROPERTY), out, outLength, information);
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Pin)) return PinSetProperty(f, in, inLength, out, outLength, information);
    if (IsEqualGUID(property.Set, KSPROPSETID_Topology)) {
        return TopologySetProperty(f, in, inLength, out, outLength, information);
    }
    return AutomationProperty(d->AutomationTable, f->miniport, nullptr, ULONG(-1), irp, in, inLength,
                              sizeof(KSPROPERTY), out, outLength, information);
}

void FreeEntry(_KSEVENT_ENTRY* entry) {
    if (entry->event != nullptr && entry->referenced) ObDereferenceObject(entry->event);
}

// Calls the event item's handler; the miniport adds the entry to the port's list on ADD.
NTSTATUS CallEventHandler(KsFilter* f, PUNKNOWN minor, const PCEVENT_ITEM* item, _KSEVENT_ENTRY* entry, ULONG verb,
                          PIRP irp) {
    PCEVENT_REQUEST request{};
    request.MajorTarget = f->miniport;
    request.MinorTarget = minor;
    request.Node = entry->nodeEvent ? entry->nodeId : ULONG(-1);
    request.EventItem = item;
    request.EventEntry = entry;
    request.Verb = verb;
    request.Irp = irp;
    return item->Handler(&request);
}

const PCEVENT_ITEM* FindEvent(KsFilter* f, KsPin* pin, const GUID& set, ULONG id, bool nodeEvent, ULONG node) {
    const PCFILTER_DESCRIPTOR* d = f->self->Description();
    const PCAUTOMATION_TABLE* table = nodeEvent ? NodeDescriptor(d, node)->AutomationTable
                                      : pin != nullptr ? PinDescriptor(d, pin->pinId)->AutomationTable
                                                       : d->AutomationTable;
    if (table == nullptr) return nullptr;
    const PCEVENT_ITEM* item = FindItem(table->Events, table->EventItemSize, table->EventCount, set, id);
    return item != nullptr && item->Handler != nullptr ? item : nullptr;
}

NTSTATUS EnableEvent(PFILE_OBJECT file, PIRP irp, const UCHAR* in, ULONG inLength, PVOID out, ULONG outLength) {
    KsPin* pin = PinOf(file);
    KsFilter* f = pin != nullptr ? pin->filter : FilterOf(file);
    if (f == nullptr || f->self->Description() == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (in == nullptr || inLength < sizeof(KSEVENT) || out == nullptr || outLength < sizeof(KSEVENTDATA)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSEVENT event;
    std::memcpy(&event, in, sizeof(event));
    auto entry = std::make_unique<_KSEVENT_ENTRY>();
    entry->set = event.Set;
    entry->id = event.Id;
    entry->file = file;
    if ((event.Flags & KSEVENT_TYPE_TOPOLOGY) != 0) {
        if (inLength < sizeof(KSE_NODE)) return STATUS_INVALID_PARAMETER;
        KSE_NODE node;
        std::memcpy(&node, in, sizeof(node));
        if (node.NodeId >= f->self->Description()->NodeCount) return STATUS_INVALID_PARAMETER;
        entry->nodeEvent = true;
        entry->nodeId = node.NodeId;
    }
    const PCEVENT_ITEM* item = FindEvent(f, pin, event.Set, event.Id, entry->nodeEvent, entry->nodeId);
    if (item == nullptr) return STATUS_NOT_FOUND;
    const ULONG verb = event.Flags & (KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_ONESHOT | KSEVENT_TYPE_BASICSUPPORT);
    if (verb == KSEVENT_TYPE_BASICSUPPORT) {
        return CallEventHandler(f, pin != nullptr ? pin->stream : nullptr, item, entry.get(), PCEVENT_VERB_SUPPORT, irp);
    }
    std::memcpy(&entry->data, out, sizeof(KSEVENTDATA));
    entry->clientData = static_cast<const KSEVENTDATA*>(out);
    PVOID object = nullptr;
    if (entry->data.NotificationType == KSEVENTF_EVENT_HANDLE) {
        NTSTATUS status = ObReferenceObjectByHandle(entry->data.EventHandle.Event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                    irp->RequestorMode, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        entry->referenced = true;
    } else if (entry->data.NotificationType == KSEVENTF_EVENT_OBJECT && entry->data.EventObject.Event != nullptr) {
        // A kernel client's own event: it keeps it alive while the event is enabled.
        object = entry->data.EventObject.Event;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    entry->event = static_cast<PKEVENT>(object);
    NTSTATUS status =
        CallEventHandler(f, pin != nullptr ? pin->stream : nullptr, item, entry.get(), PCEVENT_VERB_ADD, irp);
    if (!NT_SUCCESS(status)) {
        f->self->RemoveEvent(entry.get());
        FreeEntry(entry.get());
        return status;
    }
    std::lock_guard<std::mutex> guard(g_eventLock);
    g_eventEntries.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

// Removes the entries of file (all when data is null, else the one enabled with data).
NTSTATUS DisableEvents(PFILE_OBJECT file, const KSEVENTDATA* data, PIRP irp) {
    KsPin* pin = PinOf(file);
    KsFilter* f = pin != nullptr ? pin->filter : FilterOf(file);
    if (f == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<std::unique_ptr<_KSEVENT_ENTRY>> removed;
    {
        std::lock_guard<std::mutex> guard(g_eventLock);
        for (auto it = g_eventEntries.begin(); it != g_eventEntries.end();) {
            if ((*it)->file == file && (data == nullptr || (*it)->clientData == data)) {
                removed.push_back(std::move(*it));
                it = g_eventEntries.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (data != nullptr && removed.empty()) return STATUS_NOT_FOUND;
    for (auto& entry : removed) {
        f->self->RemoveEvent(entry.get());
        if (const PCEVENT_ITEM* item = FindEvent(f, pin, entry->set, entry->id, entry->nodeEvent, entry->nodeId)) {
            CallEventHandler(f, pin != nullptr ? pin->stream : nullptr, item, entry.get(), PCEVENT_VERB_REMOVE, irp);
        }
        FreeEntry(entry.get());
    }
    return STATUS_SUCCESS;
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The file name of a create with its leading backslash removed.
std::u16string_view CreateName(PFILE_OBJECT file) {
    std::u16string_view name(file->FileName.Buffer != nullptr ? file->FileName.Buffer : u"",
                             file->FileName.Length / sizeof(WCHAR));
    if (!name.empty() && name[0] == u'\\') name.remove_prefix(1);
    return name;
}

}  // namespace

KsFilter* FilterOf(PFILE_OBJECT file) {
    if (file == nullptr || file->FsContext == nullptr) return nullptr;
    auto* filter = static_cast<KsFilter*>(file->FsContext);
    return filter->magic == kFilterMagic ? filter : nullptr;
}

KsPin* PinOf(PFILE_OBJECT file) {
    if (file == nullptr || file->FsContext == nullptr) return nullptr;
    auto* pin = static_cast<KsPin*>(file->FsContext);
    return pin->magic == kPinMagic ? pin : nullptr;
}

ULONG GlobalPinInstances(PPORT port, ULONG pinId) {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    auto it = g_globalInstances.find({port, pinId});
    return it != g_globalInstances.end() ? it->second : 0;
}

void CountGlobalPinInstance(PPORT port, ULONG pinId, int delta) {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    ULONG& count = g_globalInstances[{port, pinId}];
    count += delta;
    if (count == 0) g_globalInstances.erase({port, pinId});
}

NTSTATUS DispatchKsCreate(PcDevice* d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER);
    if (KsFilter* filter = FilterOf(file->RelatedFileObject)) {
        // "<pin name>\" followed by KSPIN_CONNECT and the data format, as bytes.
        std::u16string_view name = CreateName(file);
        std::u16string_view pinName = KSSTRING_Pin;
        if (name.size() <= pinName.size() || name.substr(0, pinName.size()) != pinName || name[pinName.size()] != u'\\') {
            return Finish(irp, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        const auto* bytes = reinterpret_cast<const UCHAR*>(name.data() + pinName.size() + 1);
        ULONG length = file->FileName.Length - static_cast<ULONG>((name.data() + pinName.size() + 1 -
                                                                   file->FileName.Buffer) * sizeof(WCHAR));
        return Finish(irp, CreatePin(filter, file->RelatedFileObject, file, bytes, length));
    }
    std::u16string_view name = CreateName(file);
    PPORT port = name.empty() || name.find(u'\\') != std::u16string_view::npos ? nullptr : FindSubdevicePort(d, name);
    if (port == nullptr) return Finish(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    PortSelf* self = PortSelfOf(port);
    PUNKNOWN miniport = self != nullptr ? self->Miniport() : nullptr;
    if (miniport == nullptr || self->Description() == nullptr) {
        port->Release();
        return Finish(irp, STATUS_INVALID_DEVICE_STATE);
    }
    miniport->AddRef();
    auto* filter = new KsFilter();
    filter->device = d;
    filter->port = port;
    filter->self = self;
    filter->miniport = miniport;
    filter->pinInstances.assign(self->Description()->PinCount, 0);
    file->FsContext = filter;
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchKsClose(PcDevice* d, PIRP irp) {
    UNREFERENCED_PARAMETER(d);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (stack->MajorFunction == IRP_MJ_CLOSE && file != nullptr) {
        if (FilterOf(file) != nullptr || PinOf(file) != nullptr) DisableEvents(file, nullptr, irp);
        if (KsPin* pin = PinOf(file)) {
            file->FsContext = nullptr;
            ClosePin(pin);
        } else if (KsFilter* filter = FilterOf(file)) {
            file->FsContext = nullptr;
            filter->magic = 0;
            filter->miniport->Release();
            filter->port->Release();
            delete filter;
        }
    }
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchKsDeviceControl(PcDevice* d, PIRP irp) {
    UNREFERENCED_PARAMETER(d);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (FilterOf(file) == nullptr && PinOf(file) == nullptr) return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    const auto* in = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID out = irp->UserBuffer;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY:
            status = Property(file, irp, in, inLength, out, outLength, &information);
            break;
        case IOCTL_KS_ENABLE_EVENT:
            status = EnableEvent(file, irp, in, inLength, out, outLength);
            break;
        case IOCTL_KS_DISABLE_EVENT:
            status = in != nullptr && inLength >= sizeof(KSEVENTDATA)
                         ? DisableEvents(file, reinterpret_cast<const KSEVENTDATA*>(in), irp)
                         : STATUS_INVALID_PARAMETER;
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
    }
    return Finish(irp, status, information);
}

ULONG EventSignals(const KSEVENTDATA* registration) {
    std::lock_guard<std::mutex> guard(g_eventLock);
    for (const auto& entry : g_eventEntries) {
        if (entry->clientData == registration) return entry->signals.load();
    }
    return 0;
}

}  // namespace sim::portcls
