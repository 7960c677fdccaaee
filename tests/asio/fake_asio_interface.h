// A stand-in for the kernel driver's private ASIO interface: answers the control codes from a
// small state record, keeps plain-memory rings (one capture, one render ring of 16-bit stereo),
// references the caller's events by handle as the driver does, and counts the requests per code.
// It serves either as the dispatch of a bus device or as a PnP device node with the interface
// registered and enabled, so SetupAPI finds it.
#pragma once

#include <asio/AsioProtocol.h>

#include <sim/io.h>
#include <sim/pnp.h>
#include <win/asio.h>
#include <win/io.h>
#include <win/ke.h>
#include <win/interlocked.h>
#include <win/ob.h>
#include <win/rtl.h>

#include <cstdio>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kv380dasio::testing {

constexpr ULONG kFakeRingFrames = 1920;

struct FakeInterface {
    std::vector<ULONGLONG> capture, render;
    PRKEVENT notify = nullptr;
    PRKEVENT buffer = nullptr;
    bool started = false;
    std::string name = "Talmet V-380D";
    ULONG rate = 48'000;
    ULONG formatKind = kFormatPcm;
    bool dsdCapable = false;
    std::vector<ULONG> rates = {44'100, 48'000, 96'000};
    LONG channelType = ASIOSTInt16LSB;
    ULONG selectedType = 16;
    ULONG latencyIndex = 4;
    std::map<ULONG, int> requests;  // control code -> count

    FakeInterface() {
        for (auto* ring : {&capture, &render}) {
            ring->assign((sizeof(SharedRingHeader) + kFakeRingFrames * 4) / 8 + 1, 0);
            auto* h = reinterpret_cast<SharedRingHeader*>(ring->data());
            h->active = 1;
            h->isInput = ring == &capture ? 1 : 0;
            h->channels = 2;
            h->dataSize = kFakeRingFrames * 4;
            h->signal = ring == &capture ? 1 : 0;
        }
    }
    ~FakeInterface() {
        Drop(&notify);
        Drop(&buffer);
    }
    SharedRingHeader* Capture() { return reinterpret_cast<SharedRingHeader*>(capture.data()); }
    SharedRingHeader* Render() { return reinterpret_cast<SharedRingHeader*>(render.data()); }

    static void Drop(PRKEVENT* event) {
        if (*event != nullptr) ObDereferenceObject(*event);
        *event = nullptr;
    }
    static PRKEVENT ReferenceUserEvent(const void* buffer) {
        HANDLE handle = reinterpret_cast<HANDLE>(*static_cast<const ULONGLONG*>(buffer));
        PVOID event = nullptr;
        if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr))) {
            return nullptr;
        }
        return static_cast<PRKEVENT>(event);
    }
    void Notify() {
        if (notify != nullptr) KeSetEvent(notify, 0, FALSE);
    }

    // Answers one request as the driver's dispatcher would; the status and Information.
    NTSTATUS Answer(ULONG code, void* system, ULONG in, ULONG out, ULONG_PTR* information) {
        ++requests[code];
        *information = 0;
        auto value = [&] { return *static_cast<const ULONG*>(system); };
        switch (code) {
            case IOCTL_ASIO_GET_DEVICE_NAME:
                *information = name.size() + 1;
                if (out < name.size() + 1) return STATUS_BUFFER_OVERFLOW;
                std::memcpy(system, name.c_str(), name.size() + 1);
                return STATUS_SUCCESS;
            case IOCTL_ASIO_GET_CHANNELS: {
                ChannelCounts counts{.endpoints = 2, .outputs = 2, .inputs = 2, .reserved = 0};
                std::memcpy(system, &counts, sizeof(counts));
                *information = sizeof(counts);
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_GET_SAMPLE_RATE:
                *static_cast<ULONG*>(system) = rate;
                *information = 4;
                return STATUS_SUCCESS;
            case IOCTL_ASIO_CAN_SAMPLE_RATE:
            case IOCTL_ASIO_SET_SAMPLE_RATE: {
                bool known = false;
                for (ULONG r : rates) known = known || r == value();
                if (!known) return STATUS_UNSUCCESSFUL;
                if (code == IOCTL_ASIO_SET_SAMPLE_RATE) rate = value();
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_GET_BIT_DEPTHS: {
                const ULONG list[7] = {selectedType, 5, 16, 17, 24, 27, 18};
                *information = sizeof(list);
                if (out < sizeof(list)) return STATUS_BUFFER_OVERFLOW;
                std::memcpy(system, list, sizeof(list));
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_GET_LATENCY_CHOICES: {
                const ULONG list[11] = {latencyIndex, 9, 2, 4, 6, 8, 10, 20, 30, 40, 50};
                *information = sizeof(list);
                if (out < sizeof(list)) return STATUS_BUFFER_OVERFLOW;
                std::memcpy(system, list, sizeof(list));
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_SET_BIT_DEPTH:
                selectedType = value();
                Notify();
                return STATUS_SUCCESS;
            case IOCTL_ASIO_SET_LATENCY:
                latencyIndex = value();
                Notify();
                return STATUS_SUCCESS;
            case IOCTL_ASIO_GET_LATENCIES: {
                const ULONG latencies[2] = {rate / 100, rate / 50};
                std::memcpy(system, latencies, sizeof(latencies));
                *information = sizeof(latencies);
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_GET_BUFFER_SIZE: {
                const ULONG sizes[4] = {64, 2048, 256, 32};
                std::memcpy(system, sizes, sizeof(sizes));
                *information = sizeof(sizes);
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_GET_IO_FORMAT:
                *static_cast<ULONG*>(system) = formatKind;
                *information = 4;
                return STATUS_SUCCESS;
            case IOCTL_ASIO_SET_IO_FORMAT:
            case IOCTL_ASIO_CAN_DO_IO_FORMAT:
                if (value() == kFormatDsd && !dsdCapable) return STATUS_UNSUCCESSFUL;
                if (code == IOCTL_ASIO_SET_IO_FORMAT) formatKind = value();
                return STATUS_SUCCESS;
            case IOCTL_ASIO_GET_CHANNEL_INFO: {
                auto* info = static_cast<ASIOChannelInfo*>(system);
                info->type = formatKind == kFormatDsd ? ASIOSTDSDInt8MSB1 : channelType;
                std::snprintf(info->name, sizeof(info->name), "%s_%02d ch", info->isInput ? "In" : "Out",
                              static_cast<int>(info->channel));
                *information = sizeof(ASIOChannelInfo);
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_SET_NOTIFY_EVENT:
                Drop(&notify);
                notify = in == 8 ? ReferenceUserEvent(system) : nullptr;
                return notify != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            case IOCTL_ASIO_CLEAR_NOTIFY_EVENT:
                Drop(&notify);
                return STATUS_SUCCESS;
            case IOCTL_ASIO_CREATE_BUFFERS: {
                if (out != 16) return STATUS_INVALID_PARAMETER;
                auto** rings = static_cast<SharedRingHeader**>(system);
                rings[0] = Capture();
                rings[1] = Render();
                *information = 16;
                return STATUS_SUCCESS;
            }
            case IOCTL_ASIO_START:
                Drop(&buffer);
                this->buffer = ReferenceUserEvent(system);
                started = true;
                for (SharedRingHeader* ring : {Capture(), Render()}) {
                    ring->periods = 0;
                    ring->driverPosition = 0;
                    ring->clientDonePosition = 0;
                    ring->clientDataPosition = 0;
                }
                Render()->clientDataPosition = 48 * 4 * 3;  // three 1 ms transfers ahead
                return STATUS_SUCCESS;
            case IOCTL_ASIO_STOP:
                started = false;
                Drop(&buffer);
                return STATUS_SUCCESS;
            default:
                return STATUS_SUCCESS;
        }
    }

    // The library has consumed everything the driver produced.
    bool Drained() { return ReadAcquire(&Capture()->clientDonePosition) == ReadNoFence(&Capture()->driverPosition); }

    // The driver moves frames in `periods` transfers: one buffer event per call.
    void Transfer(ULONG frames, ULONG periods = 1) {
        for (SharedRingHeader* ring : {Capture(), Render()}) {
            WriteRelease(&ring->driverPosition, (ReadNoFence(&ring->driverPosition) + frames * 4) % ring->dataSize);
            WriteRelease(&ring->periods, ReadNoFence(&ring->periods) + periods);
        }
        if (buffer != nullptr) KeSetEvent(buffer, 0, FALSE);
    }
};

inline FakeInterface* g_fake = nullptr;

inline NTSTATUS FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL || g_fake == nullptr) {
        return sim::io::Finish(device, irp, STATUS_SUCCESS);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = g_fake->Answer(stack->Parameters.DeviceIoControl.IoControlCode, irp->AssociatedIrp.SystemBuffer,
                                     stack->Parameters.DeviceIoControl.InputBufferLength,
                                     stack->Parameters.DeviceIoControl.OutputBufferLength, &information);
    return sim::io::Finish(device, irp, status, information);
}

// A device node whose interface of the private class is registered and enabled.
class FakeAsioDevice {
public:
    FakeAsioDevice() {
        sim::pnp::DeviceDescription description;
        description.dispatch = FakeDispatch;
        description.completion = sim::io::Completion::Synchronous;
        m_node = sim::pnp::CreateDevice(description);
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, u"KLASIOPrivateInterface");
        IoRegisterDeviceInterface(sim::pnp::PhysicalDeviceObject(m_node), &kAsioInterfaceClass, &reference, &m_link);
        IoSetDeviceInterfaceState(&m_link, TRUE);
    }
    ~FakeAsioDevice() {
        IoSetDeviceInterfaceState(&m_link, FALSE);
        RtlFreeUnicodeString(&m_link);
        sim::pnp::DeleteDevice(m_node);
    }
    FakeAsioDevice(const FakeAsioDevice&) = delete;
    FakeAsioDevice& operator=(const FakeAsioDevice&) = delete;

private:
    sim::pnp::DeviceNode* m_node = nullptr;
    UNICODE_STRING m_link{};
};

}  // namespace kv380dasio::testing
