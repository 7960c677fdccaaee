// Shared fixture of the USB bus tests: a catalog device on a port, requests sent to its physical
// device object as a client driver sends them, and the URBs those requests carry.
#pragma once

#include <gtest/gtest.h>
#include <sim/machine.h>
#include <sim/usb_bus.h>
#include <win/kernel.h>
#include <win/usb.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace bustest {

using sim::io::Completion;
using sim::machine::kMillisecond;

// A request sent to the bus; its completion routine keeps the IRP and notes when and how it ran.
struct InFlight {
    PIRP irp = nullptr;
    KEVENT done{};
    NTSTATUS returned = STATUS_SUCCESS;  // what IoCallDriver answered
    sim::machine::Time completedAt = -1;
    KIRQL irql = 0;
    int order = 0;  // completion order among every request of the test

    ~InFlight() {
        if (irp != nullptr) IoFreeIrp(irp);
    }
    bool Completed() { return KeReadStateEvent(&done) != 0; }
    NTSTATUS Status() const { return irp->IoStatus.Status; }
    // Waits at most 10 s of simulated time; STATUS_TIMEOUT when the request is still held.
    NTSTATUS Wait() {
        LARGE_INTEGER timeout{.QuadPart = -10 * sim::machine::kSecond};
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            return STATUS_TIMEOUT;
        }
        return irp->IoStatus.Status;
    }
};

inline int g_completions = 0;

inline NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* f = static_cast<InFlight*>(context);
    f->completedAt = sim::machine::Now();
    f->irql = KeGetCurrentIrql();
    f->order = ++g_completions;
    KeSetEvent(&f->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline std::unique_ptr<InFlight> Send(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1, PVOID inputBuffer = nullptr,
                                      ULONG inputLength = 0) {
    auto f = std::make_unique<InFlight>();
    KeInitializeEvent(&f->done, NotificationEvent, FALSE);
    f->irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(f->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    next->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(f->irp, RecordCompletion, f.get(), TRUE, TRUE, TRUE);
    f->returned = IoCallDriver(pdo, f->irp);
    return f;
}

inline URB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer,
                                 nullptr, length, nullptr);
    return urb;
}

inline URB VendorClassUrb(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, void* buffer,
                          ULONG length) {
    URB urb{};
    UsbBuildVendorRequest(&urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                          index, buffer, nullptr, length, nullptr);
    return urb;
}

inline URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

// A variable-size URB (isochronous, select interface) in a block with guard bytes after it.
class UrbBlock {
public:
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kGuardByte = 0xCD;
    // The block holds at least a whole URB record, so every member can be named; what lies past
    // `size` is guard.
    explicit UrbBlock(size_t size) : m_Size(size), m_Bytes(std::max(size, sizeof(URB)) + kGuard, 0) {
        std::memset(m_Bytes.data() + size, kGuardByte, m_Bytes.size() - size);
        Get()->UrbHeader.Length = USHORT(size);
    }
    PURB Get() { return reinterpret_cast<PURB>(m_Bytes.data()); }
    bool GuardIntact() const {
        for (size_t i = m_Size; i < m_Bytes.size(); ++i) {
            if (m_Bytes[i] != kGuardByte) return false;
        }
        return true;
    }

private:
    size_t m_Size;
    std::vector<uint8_t> m_Bytes;
};

// The interfaces and pipes a select-configuration request answered.
struct Configuration {
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::vector<std::vector<uint8_t>> interfaces;  // copies of each USBD_INTERFACE_INFORMATION

    const USBD_INTERFACE_INFORMATION& Interface(size_t i) const {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(interfaces[i].data());
    }
};

class BusFixture : public testing::Test {
protected:
    void TearDown() override {
        for (sim::usb::Port* port : m_Ports) sim::usb::RemovePort(port);
    }

    sim::usb::Port* Plug(std::string_view name, Completion mode = Completion::Asynchronous) {
        sim::usb::Port* port = sim::usb::PlugCatalogDevice(name, {.completion = mode});
        EXPECT_NE(port, nullptr) << name;
        m_Ports.push_back(port);
        m_Port = port;
        m_Pdo = sim::usb::PhysicalDeviceObject(port);
        return port;
    }
    sim::usb::Device& Device() { return sim::usb::DeviceOf(m_Port); }

    std::unique_ptr<InFlight> Start(PURB urb) { return Send(m_Pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }
    NTSTATUS Submit(PURB urb) { return Start(urb)->Wait(); }

    // Alternate setting 0 of every interface, as a client selects the configuration.
    NTSTATUS SelectConfiguration(Configuration* out) {
        std::span<const uint8_t> bytes = Device().ConfigurationBytes(0);
        m_ConfigurationCopy.assign(bytes.begin(), bytes.end());
        auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_ConfigurationCopy.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (LONG number = 0; number < cd->bNumInterfaces; ++number) {
            list.push_back({USBD_ParseConfigurationDescriptorEx(cd, cd, number, 0, -1, -1, -1), nullptr});
        }
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
        if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        const NTSTATUS status = Submit(urb);
        out->handle = urb->UrbSelectConfiguration.ConfigurationHandle;
        out->interfaces.clear();
        for (size_t i = 0; i + 1 < list.size(); ++i) {
            auto* info = reinterpret_cast<const uint8_t*>(list[i].Interface);
            out->interfaces.emplace_back(info, info + list[i].Interface->Length);
        }
        ExFreePool(urb);
        return status;
    }

    // Selects an alternate setting with room for `pipes` pipes; the pipe handles by endpoint address.
    NTSTATUS SelectInterface(USBD_CONFIGURATION_HANDLE configuration, UCHAR number, UCHAR alternate, ULONG pipes,
                             std::vector<USBD_PIPE_INFORMATION>* out = nullptr) {
        UrbBlock block(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
        UsbBuildSelectInterfaceRequest(block.Get(), GET_SELECT_INTERFACE_REQUEST_SIZE(pipes), configuration, number,
                                       alternate);
        const NTSTATUS status = Submit(block.Get());
        EXPECT_TRUE(block.GuardIntact());
        if (out != nullptr && NT_SUCCESS(status)) {
            const USBD_INTERFACE_INFORMATION& info = block.Get()->UrbSelectInterface.Interface;
            out->assign(info.Pipes, info.Pipes + info.NumberOfPipes);
        }
        return status;
    }

    // Configured, with the alternate setting selected; answers the pipe of the endpoint.
    USBD_PIPE_HANDLE OpenPipe(UCHAR number, UCHAR alternate, UCHAR endpoint) {
        Configuration c;
        EXPECT_EQ(SelectConfiguration(&c), STATUS_SUCCESS);
        m_ConfigurationHandle = c.handle;
        std::vector<USBD_PIPE_INFORMATION> pipes;
        EXPECT_EQ(SelectInterface(c.handle, number, alternate, 4, &pipes), STATUS_SUCCESS);
        for (const USBD_PIPE_INFORMATION& p : pipes) {
            if (p.EndpointAddress == endpoint) return p.PipeHandle;
        }
        ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
        return nullptr;
    }
    // An interrupt IN read of the status endpoint (interface 0, endpoint 0x83), which the device
    // leaves pending until it has something to say: a request the bus holds.
    std::unique_ptr<InFlight> HoldStatusRead(URB* urb, UCHAR* buffer, ULONG length) {
        UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), OpenPipe(0, 0, 0x83), buffer,
                                               nullptr, length, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               nullptr);
        return Start(urb);
    }

    std::vector<sim::usb::Port*> m_Ports;
    sim::usb::Port* m_Port = nullptr;
    PDEVICE_OBJECT m_Pdo = nullptr;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
    std::vector<uint8_t> m_ConfigurationCopy;
};

inline const char* ModeName(Completion mode) { return mode == Completion::Synchronous ? "Synchronous" : "Asynchronous"; }

}  // namespace bustest
