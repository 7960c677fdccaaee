// USBD library functions: descriptor parsing bounded by the configuration's wTotalLength and the
// select-configuration request builder.
#include <win/kernel.h>
#include <win/usb.h>

#include <cstring>

namespace {

constexpr ULONG kUsbdPoolTag = 'DBSU';  // "USBD"

// The one walk over raw descriptor bytes. Next() answers the descriptor at the cursor and moves past
// it, or null when fewer than 2 bytes remain, bLength is below 2, or the descriptor runs past end.
class DescriptorWalk {
public:
    DescriptorWalk(const UCHAR* cursor, const UCHAR* end) : m_Cursor(cursor), m_End(end) {}

    const USB_COMMON_DESCRIPTOR* Next() {
        if (m_Cursor == nullptr || m_End - m_Cursor < 2) return nullptr;
        const UCHAR length = m_Cursor[0];
        if (length < 2 || length > m_End - m_Cursor) {
            m_Cursor = nullptr;  // a malformed descriptor ends the walk for good
            return nullptr;
        }
        const auto* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(m_Cursor);
        m_Cursor += length;
        return descriptor;
    }

private:
    const UCHAR* m_Cursor;
    const UCHAR* m_End;
};

// Start position inside [begin, end), else null. Compared as addresses: the caller may pass anything.
const UCHAR* ClampStart(const void* begin, ULONG totalLength, const void* start) {
    const auto b = reinterpret_cast<ULONG_PTR>(begin);
    const auto s = reinterpret_cast<ULONG_PTR>(start);
    if (begin == nullptr || start == nullptr || s < b || s - b >= totalLength) return nullptr;
    return static_cast<const UCHAR*>(start);
}

// The interface descriptor lies whole inside the configuration and is long enough to read.
bool InterfaceInsideConfiguration(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                  const USB_INTERFACE_DESCRIPTOR* descriptor) {
    const auto b = reinterpret_cast<ULONG_PTR>(configuration);
    const auto p = reinterpret_cast<ULONG_PTR>(descriptor);
    const ULONG total = configuration->wTotalLength;
    if (p < b || p - b >= total || total - (p - b) < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
    return descriptor->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && descriptor->bLength <= total - (p - b);
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

KV_EXTERN_C PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                         PVOID StartPosition, LONG DescriptorType) {
    const UCHAR* start = ClampStart(DescriptorBuffer, TotalLength, StartPosition);
    if (start == nullptr) return nullptr;
    DescriptorWalk walk(start, static_cast<const UCHAR*>(DescriptorBuffer) + TotalLength);
    while (const USB_COMMON_DESCRIPTOR* d = walk.Next()) {
        if (d->bDescriptorType == DescriptorType) return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    }
    return nullptr;
}

KV_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    const UCHAR* start = ClampStart(ConfigurationDescriptor, total, StartPosition);
    if (start == nullptr) return nullptr;
    DescriptorWalk walk(start, reinterpret_cast<const UCHAR*>(ConfigurationDescriptor) + total);
    while (const USB_COMMON_DESCRIPTOR* d = walk.Next()) {
        // An interface descriptor too short to hold its fields is passed over, never read.
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        const auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
        if (Matches(InterfaceNumber, i->bInterfaceNumber) && Matches(AlternateSetting, i->bAlternateSetting) &&
            Matches(InterfaceClass, i->bInterfaceClass) && Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, i->bInterfaceProtocol)) {
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
        }
    }
    return nullptr;
}

KV_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

KV_EXTERN_C PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

    // Size: the fixed part, then per interface its record with one entry per endpoint. Summed in
    // 64 bits and checked against the header's 16-bit length before anything is allocated.
    constexpr SIZE_T kFixedPart = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface);
    SIZE_T size = kFixedPart;
    ULONG count = 0;
    for (; InterfaceList[count].InterfaceDescriptor != nullptr; ++count) {
        const USB_INTERFACE_DESCRIPTOR* d = InterfaceList[count].InterfaceDescriptor;
        if (!InterfaceInsideConfiguration(ConfigurationDescriptor, d)) return nullptr;
        size += GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        if (size > MAXUSHORT) return nullptr;
    }

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* cursor = reinterpret_cast<UCHAR*>(urb) + kFixedPart;
    for (ULONG i = 0; i < count; ++i) {
        const USB_INTERFACE_DESCRIPTOR* d = InterfaceList[i].InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;  // bNumEndpoints entries follow in the block
        for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
            pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        InterfaceList[i].Interface = info;
        cursor += info->Length;
    }
    return urb;
}

KV_EXTERN_C VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x0200;
}
