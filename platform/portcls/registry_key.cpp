// Registry keys handed out by the library (PcNewRegistryKey, IPort::NewRegistryKey): an
// IRegistryKey over a kernel handle of the shared registry store.
#include "portcls_internal.h"

namespace sim::portcls {
namespace {

class RegistryKey final : public IRegistryKey, public PoolObject {
public:
    explicit RegistryKey(HANDLE key) : m_key(key) {}
    ~RegistryKey() { ZwClose(m_key); }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (out == nullptr) return STATUS_INVALID_PARAMETER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IRegistryKey)) {
            *out = static_cast<IRegistryKey*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PC_IMPLEMENT_REFCOUNT;

    STDMETHODIMP QueryKey(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                          PULONG ResultLength) override {
        return ZwQueryKey(m_key, KeyInformationClass, KeyInformation, Length, ResultLength);
    }
    STDMETHODIMP EnumerateKey(ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength) override {
        return ZwEnumerateKey(m_key, Index, KeyInformationClass, KeyInformation, Length, ResultLength);
    }
    STDMETHODIMP QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override {
        return ZwQueryValueKey(m_key, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    }
    STDMETHODIMP EnumerateValueKey(ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override {
        return ZwEnumerateValueKey(m_key, Index, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    }
    STDMETHODIMP SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) override {
        return ZwSetValueKey(m_key, ValueName, 0, Type, Data, DataSize);
    }
    STDMETHODIMP QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) override {
        UNREFERENCED_PARAMETER(QueryTable);
        UNREFERENCED_PARAMETER(Context);
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP NewSubKey(IRegistryKey** RegistrySubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                           PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) override {
        UNREFERENCED_PARAMETER(OuterUnknown);
        if (RegistrySubKey == nullptr || SubKeyName == nullptr) return STATUS_INVALID_PARAMETER;
        *RegistrySubKey = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, SubKeyName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, m_key, nullptr);
        HANDLE key = nullptr;
        NTSTATUS status = ZwCreateKey(&key, DesiredAccess, &attributes, 0, nullptr, CreateOptions, Disposition);
        if (!NT_SUCCESS(status)) return status;
        return Wrap(key, RegistrySubKey);
    }
    STDMETHODIMP DeleteKey() override { return ZwDeleteKey(m_key); }

    // Takes over key; closes it when no object can be had.
    static NTSTATUS Wrap(HANDLE key, PREGISTRYKEY* out) {
        auto* object = new (kRegistryKeyTag) RegistryKey(key);
        if (object == nullptr) {
            ZwClose(key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *out = object;
        return STATUS_SUCCESS;
    }

private:
    HANDLE m_key;
};

}  // namespace
}  // namespace sim::portcls

using namespace sim::portcls;

KV_EXTERN_C NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                      ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OuterUnknown);
    UNREFERENCED_PARAMETER(SubDevice);
    if (OutRegistryKey == nullptr) return STATUS_INVALID_PARAMETER;
    *OutRegistryKey = nullptr;
    HANDLE key = nullptr;
    NTSTATUS status;
    switch (RegistryKeyType) {
        case GeneralRegistryKey:
            // Opened, or created when absent, as the published routine does.
            if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
            status = ZwCreateKey(&key, DesiredAccess, ObjectAttributes, 0, nullptr, CreateOptions, Disposition);
            break;
        case DeviceRegistryKey:
        case DriverRegistryKey:
        case HwProfileRegistryKey: {
            PcDevice* d = PcDeviceOf(static_cast<PDEVICE_OBJECT>(DeviceObject), "PcNewRegistryKey");
            ULONG type = RegistryKeyType == DriverRegistryKey ? PLUGPLAY_REGKEY_DRIVER
                         : RegistryKeyType == DeviceRegistryKey
                             ? PLUGPLAY_REGKEY_DEVICE
                             : PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
            status = IoOpenDeviceRegistryKey(d->pdo, type, DesiredAccess, &key);
            break;
        }
        default:
            // Device interface keys come with the kernel-streaming side of the library.
            return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) return status;
    return RegistryKey::Wrap(key, OutRegistryKey);
}
