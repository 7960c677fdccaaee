// Helpers for tests of the I/O manager: device stacks made of bus devices whose dispatch the test
// writes, and an originator's completion routine that keeps the IRP.
#pragma once

#include <gtest/gtest.h>
#include <sim/io.h>
#include <win/kernel.h>

#include <functional>
#include <vector>

namespace io_test {

using sim::io::Completion;

// Sets the event in the context and keeps the IRP for its sender.
inline NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Devices attached bottom-up; Delete detaches and deletes them top-down.
class DeviceStack {
public:
    PDEVICE_OBJECT Push(sim::io::BusDispatch dispatch, Completion mode = Completion::Synchronous) {
        PDEVICE_OBJECT device = sim::io::CreateBusDevice(std::move(dispatch), mode);
        EXPECT_NE(device, nullptr);
        if (!m_devices.empty()) {
            EXPECT_EQ(IoAttachDeviceToDeviceStack(device, m_devices.back()), m_devices.back());
        }
        m_devices.push_back(device);
        return device;
    }
    PDEVICE_OBJECT Top() const { return m_devices.back(); }
    PDEVICE_OBJECT At(size_t index) const { return m_devices[index]; }
    void Delete() {
        while (!m_devices.empty()) {
            PDEVICE_OBJECT device = m_devices.back();
            m_devices.pop_back();
            if (!m_devices.empty()) IoDetachDevice(m_devices.back());
            sim::io::DeleteBusDevice(device);
        }
    }
    ~DeviceStack() { Delete(); }

private:
    std::vector<PDEVICE_OBJECT> m_devices;
};

// A dispatch that passes every request to the device below with the current parameters.
inline sim::io::BusDispatch PassDownTo(PDEVICE_OBJECT* lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*lower, irp);
    };
}

// Sends irp (next location filled by the caller) and waits for the originator's routine.
inline NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_NE(KeReadStateEvent(&done), 0);
    return irp->IoStatus.Status;
}

inline const char* ModeName(Completion mode) { return mode == Completion::Synchronous ? "Synchronous" : "Asynchronous"; }

}  // namespace io_test
