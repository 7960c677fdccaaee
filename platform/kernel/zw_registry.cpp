// Zw registry services over the machine's registry store. Key handles are objects of
// CmKeyObjectType that hold the key and the access granted at open.
#include "object_manager.h"
#include "registry_store.h"

#include <sim/verifier.h>

#include <algorithm>
#include <new>

using sim::registry::KeyRef;
using sim::registry::KeySummary;
using sim::registry::Store;
using sim::registry::ValueEntry;

namespace {

struct KeyObject {
    KeyRef node;
    ACCESS_MASK granted;
};

void DestroyKeyObject(void* body) { static_cast<KeyObject*>(body)->~KeyObject(); }

_OBJECT_TYPE g_keyType{{"Key", &DestroyKeyObject}};
POBJECT_TYPE g_keyTypePointer = &g_keyType;

void CheckIrql(const char* service) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u: registry services run at PASSIVE_LEVEL", service, irql);
    }
}

ACCESS_MASK GrantedAccess(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if ((desired & (GENERIC_READ | GENERIC_EXECUTE)) != 0) granted |= KEY_READ;
    if ((desired & GENERIC_WRITE) != 0) granted |= KEY_WRITE;
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) granted |= KEY_ALL_ACCESS;
    return granted;
}

sim::ob::HandleTableId TableOfHandle(HANDLE handle) {
    return (reinterpret_cast<uint64_t>(handle) & 0xFFFFFFFF80000000ull) != 0 ? sim::ob::kKernelTable
                                                                             : sim::ob::CurrentHandleTable();
}

// A referenced key object, released at scope end.
class KeyReference {
public:
    NTSTATUS Acquire(HANDLE handle, ACCESS_MASK needed) {
        void* body = nullptr;
        NTSTATUS status = sim::ob::ReferenceByHandle(TableOfHandle(handle), handle, g_keyTypePointer, &body);
        if (!NT_SUCCESS(status)) return status;
        key_ = static_cast<KeyObject*>(body);
        return (key_->granted & needed) == needed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
    }
    ~KeyReference() {
        if (key_ != nullptr) ObfDereferenceObject(key_);
    }
    const KeyRef& node() const { return key_->node; }
    ACCESS_MASK granted() const { return key_->granted; }

private:
    KeyObject* key_ = nullptr;
};

// Reads a caller's counted string, bounded by its lengths.
bool ReadName(PCUNICODE_STRING name, std::u16string_view* out) {
    if (name == nullptr || name->Length == 0) {
        *out = std::u16string_view();
        return true;
    }
    if ((name->Length & 1) != 0 || name->Length > name->MaximumLength || name->Buffer == nullptr) return false;
    *out = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
    return true;
}

// A record built whole, then copied into the caller's buffer: nothing when even the fixed part does
// not fit (STATUS_BUFFER_TOO_SMALL), the fixed part and whatever of the name fits when the rest does
// not (STATUS_BUFFER_OVERFLOW); ResultLength is the whole record's size in every case.
struct Record {
    std::vector<UCHAR> bytes;
    size_t fixedBytes = 0;    // the record's fixed part
    size_t partialBytes = 0;  // what may be copied when the record does not fit

    template <typename T>
    void Start(const T& header, size_t fixed) {
        bytes.assign(reinterpret_cast<const UCHAR*>(&header), reinterpret_cast<const UCHAR*>(&header) + fixed);
        fixedBytes = fixed;
    }
    void Append(const void* data, size_t size) {
        const auto* p = static_cast<const UCHAR*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void AppendName(std::u16string_view name) { Append(name.data(), name.size() * sizeof(WCHAR)); }
    void PadTo(size_t offset) { bytes.resize(std::max(bytes.size(), offset), 0); }

    NTSTATUS CopyOut(PVOID buffer, ULONG length, PULONG resultLength) const {
        *resultLength = static_cast<ULONG>(bytes.size());
        if (length < fixedBytes) return STATUS_BUFFER_TOO_SMALL;
        if (length >= bytes.size()) {
            std::memcpy(buffer, bytes.data(), bytes.size());
            return STATUS_SUCCESS;
        }
        std::memcpy(buffer, bytes.data(), std::min<size_t>(length, std::max(fixedBytes, partialBytes)));
        return STATUS_BUFFER_OVERFLOW;
    }
};

ULONG Bytes(const std::u16string& text) { return static_cast<ULONG>(text.size() * sizeof(WCHAR)); }

NTSTATUS BuildKeyRecord(const KeySummary& s, KEY_INFORMATION_CLASS infoClass, Record* record) {
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = s.lastWriteTime;
    switch (infoClass) {
        case KeyBasicInformation: {
            KEY_BASIC_INFORMATION h{};
            h.LastWriteTime = lastWrite;
            h.NameLength = Bytes(s.name);
            record->Start(h, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
            record->AppendName(s.name);
            record->partialBytes = record->bytes.size();
            return STATUS_SUCCESS;
        }
        case KeyNodeInformation: {
            KEY_NODE_INFORMATION h{};
            h.LastWriteTime = lastWrite;
            h.NameLength = Bytes(s.name);
            size_t nameEnd = FIELD_OFFSET(KEY_NODE_INFORMATION, Name) + h.NameLength;
            h.ClassOffset = s.className.empty() ? 0xFFFFFFFFu : static_cast<ULONG>(ALIGN_UP_BY(nameEnd, sizeof(ULONG)));
            h.ClassLength = Bytes(s.className);
            record->Start(h, FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
            record->AppendName(s.name);
            record->partialBytes = record->bytes.size();
            if (!s.className.empty()) {
                record->PadTo(h.ClassOffset);
                record->AppendName(s.className);
            }
            return STATUS_SUCCESS;
        }
        case KeyFullInformation: {
            KEY_FULL_INFORMATION h{};
            h.LastWriteTime = lastWrite;
            h.ClassOffset = s.className.empty() ? 0xFFFFFFFFu : FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
            h.ClassLength = Bytes(s.className);
            h.SubKeys = s.subkeys;
            h.MaxNameLen = s.maxNameBytes;
            h.MaxClassLen = s.maxClassBytes;
            h.Values = s.values;
            h.MaxValueNameLen = s.maxValueNameBytes;
            h.MaxValueDataLen = s.maxValueDataBytes;
            record->Start(h, FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
            record->partialBytes = record->bytes.size();
            record->AppendName(s.className);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS BuildValueRecord(const ValueEntry& v, KEY_VALUE_INFORMATION_CLASS infoClass, Record* record) {
    ULONG nameBytes = Bytes(v.name);
    ULONG dataBytes = static_cast<ULONG>(v.data.size());
    switch (infoClass) {
        case KeyValueBasicInformation: {
            KEY_VALUE_BASIC_INFORMATION h{};
            h.Type = v.type;
            h.NameLength = nameBytes;
            record->Start(h, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
            record->AppendName(v.name);
            record->partialBytes = record->bytes.size();
            return STATUS_SUCCESS;
        }
        case KeyValueFullInformation: {
            KEY_VALUE_FULL_INFORMATION h{};
            h.Type = v.type;
            h.NameLength = nameBytes;
            h.DataLength = dataBytes;
            h.DataOffset = static_cast<ULONG>(
                ALIGN_UP_BY(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes, sizeof(ULONG)));
            record->Start(h, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
            record->AppendName(v.name);
            record->partialBytes = record->bytes.size();
            record->PadTo(h.DataOffset);
            record->Append(v.data.data(), v.data.size());
            return STATUS_SUCCESS;
        }
        case KeyValuePartialInformation: {
            KEY_VALUE_PARTIAL_INFORMATION h{};
            h.Type = v.type;
            h.DataLength = dataBytes;
            record->Start(h, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
            record->partialBytes = record->bytes.size();
            record->Append(v.data.data(), v.data.size());
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS CheckOutput(PVOID buffer, ULONG length, PULONG resultLength) {
    if (resultLength == nullptr || (buffer == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, bool create,
                      PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    *KeyHandle = nullptr;
    if ((CreateOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) != 0) return STATUS_NOT_SUPPORTED;
    if ((CreateOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE)) != 0) return STATUS_INVALID_PARAMETER;
    std::u16string_view path;
    std::u16string_view className;
    if (!ReadName(ObjectAttributes->ObjectName, &path)) return STATUS_OBJECT_NAME_INVALID;
    if (!ReadName(Class, &className)) return STATUS_INVALID_PARAMETER;

    KeyRef base;
    bool mayCreate = true;
    if (ObjectAttributes->RootDirectory != nullptr) {
        KeyReference root;
        NTSTATUS status = root.Acquire(ObjectAttributes->RootDirectory, 0);
        if (!NT_SUCCESS(status)) return status;
        base = root.node();
        mayCreate = (root.granted() & KEY_CREATE_SUB_KEY) != 0;
    }

    Store& store = Store::Instance();
    KeyRef node;
    bool created = false;
    NTSTATUS status;
    if (create) {
        // A new key below a handle needs the right to create subkeys on that handle.
        status = store.Open(base, path, &node);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            if (!mayCreate) return STATUS_ACCESS_DENIED;
            status = store.Create(base, path, (CreateOptions & REG_OPTION_VOLATILE) != 0, className, &node, &created);
        }
    } else {
        status = store.Open(base, path, &node);
    }
    if (!NT_SUCCESS(status)) return status;

    void* body = sim::ob::CreateObject(g_keyTypePointer, sizeof(KeyObject));
    if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (body) KeyObject{node, GrantedAccess(DesiredAccess)};
    sim::ob::HandleTableId table =
        (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0 ? sim::ob::kKernelTable : sim::ob::CurrentHandleTable();
    *KeyHandle = sim::ob::InsertHandle(table, body);
    ObfDereferenceObject(body);  // the handle holds the object now
    if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE* CmKeyObjectType = &g_keyTypePointer;  // declared extern "C" in win/zw.h

KV_EXTERN_C NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                 ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    CheckIrql("ZwCreateKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Class, CreateOptions, Disposition);
}

KV_EXTERN_C NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    CheckIrql("ZwOpenKey");
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, 0, nullptr);
}

KV_EXTERN_C NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                ULONG Length, PULONG ResultLength) {
    CheckIrql("ZwQueryKey");
    NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    KeyReference key;
    Record record;
    if (KeyInformationClass == KeyNameInformation) {
        status = key.Acquire(KeyHandle, 0);
        std::u16string path;
        if (NT_SUCCESS(status)) status = Store::Instance().FullPath(key.node(), &path);
        if (!NT_SUCCESS(status)) return status;
        KEY_NAME_INFORMATION h{};
        h.NameLength = Bytes(path);
        record.Start(h, FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
        record.AppendName(path);
        record.partialBytes = record.bytes.size();
        return record.CopyOut(KeyInformation, Length, ResultLength);
    }
    status = key.Acquire(KeyHandle, KEY_QUERY_VALUE);
    KeySummary summary;
    if (NT_SUCCESS(status)) status = Store::Instance().Summarize(key.node(), &summary);
    if (NT_SUCCESS(status)) status = BuildKeyRecord(summary, KeyInformationClass, &record);
    if (!NT_SUCCESS(status)) return status;
    return record.CopyOut(KeyInformation, Length, ResultLength);
}

KV_EXTERN_C NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    CheckIrql("ZwEnumerateKey");
    NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    KeyReference key;
    KeySummary summary;
    Record record;
    status = key.Acquire(KeyHandle, KEY_ENUMERATE_SUB_KEYS);
    if (NT_SUCCESS(status)) status = Store::Instance().SubkeyAt(key.node(), Index, &summary);
    if (NT_SUCCESS(status)) status = BuildKeyRecord(summary, KeyInformationClass, &record);
    if (!NT_SUCCESS(status)) return status;
    return record.CopyOut(KeyInformation, Length, ResultLength);
}

KV_EXTERN_C NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    CheckIrql("ZwEnumerateValueKey");
    NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    KeyReference key;
    ValueEntry value;
    Record record;
    status = key.Acquire(KeyHandle, KEY_QUERY_VALUE);
    if (NT_SUCCESS(status)) status = Store::Instance().ValueAt(key.node(), Index, &value);
    if (NT_SUCCESS(status)) status = BuildValueRecord(value, KeyValueInformationClass, &record);
    if (!NT_SUCCESS(status)) return status;
    return record.CopyOut(KeyValueInformation, Length, ResultLength);
}

KV_EXTERN_C NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                     KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                     ULONG Length, PULONG ResultLength) {
    CheckIrql("ZwQueryValueKey");
    NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!ReadName(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    KeyReference key;
    ValueEntry value;
    Record record;
    status = key.Acquire(KeyHandle, KEY_QUERY_VALUE);
    if (NT_SUCCESS(status)) status = Store::Instance().GetValue(key.node(), name, &value);
    if (NT_SUCCESS(status)) status = BuildValueRecord(value, KeyValueInformationClass, &record);
    if (!NT_SUCCESS(status)) return status;
    return record.CopyOut(KeyValueInformation, Length, ResultLength);
}

KV_EXTERN_C NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                   PVOID Data, ULONG DataSize) {
    CheckIrql("ZwSetValueKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    std::u16string_view name;
    if (ValueName == nullptr || !ReadName(ValueName, &name) || (Data == nullptr && DataSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeyReference key;
    NTSTATUS status = key.Acquire(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) return status;
    return Store::Instance().SetValue(key.node(), name, Type, Data, DataSize);
}

KV_EXTERN_C NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    CheckIrql("ZwDeleteValueKey");
    std::u16string_view name;
    if (ValueName == nullptr || !ReadName(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    KeyReference key;
    NTSTATUS status = key.Acquire(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) return status;
    return Store::Instance().DeleteValue(key.node(), name);
}

KV_EXTERN_C NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    CheckIrql("ZwDeleteKey");
    KeyReference key;
    NTSTATUS status = key.Acquire(KeyHandle, DELETE);
    if (!NT_SUCCESS(status)) return status;
    return Store::Instance().DeleteKey(key.node());
}

// The store lives in memory; it reaches the disk when the machine saves it (sim/registry.h).
KV_EXTERN_C NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    CheckIrql("ZwFlushKey");
    KeyReference key;
    NTSTATUS status = key.Acquire(KeyHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    KeySummary summary;
    return Store::Instance().Summarize(key.node(), &summary);
}
