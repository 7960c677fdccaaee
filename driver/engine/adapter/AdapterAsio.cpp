// The adapter's AsioPrivateInterface. The ASIO service (clients, settings, rings and streaming) is
// not built yet: every operation answers STATUS_NOT_IMPLEMENTED, so the device-control dispatcher
// reports the request as failed rather than pretending it was served. The client list exists
// already, and the adapter frees whatever it holds.
#include "driver/engine/adapter/UsbAudioAdapter.h"

NTSTATUS UsbAudioAdapter::CreateClient(PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }

// No request reaches this slot.
NTSTATUS UsbAudioAdapter::Reserved(PFILE_OBJECT) { return STATUS_UNSUCCESSFUL; }

NTSTATUS UsbAudioAdapter::CloseClient(PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetDeviceName(PFILE_OBJECT, PVOID, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetChannels(PFILE_OBJECT, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetChannelInfo(PFILE_OBJECT, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::SetNotifyEvent(PFILE_OBJECT, PULONGLONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::ClearNotifyEvent(PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetState(PFILE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetBitDepths(PFILE_OBJECT, PVOID, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetLatencyChoices(PFILE_OBJECT, PVOID, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::SetBitDepth(PFILE_OBJECT, ULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::SetLatency(PFILE_OBJECT, ULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetLatencies(PFILE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetSampleRate(PFILE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::CanSampleRate(PFILE_OBJECT, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::SetSampleRate(PFILE_OBJECT, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetBufferSize(PFILE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::CreateBuffers(PFILE_OBJECT, PVOID, PVOID, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::DisposeBuffers(PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::Start(PFILE_OBJECT, PULONGLONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::Stop(PFILE_OBJECT, PIRP) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::CanDoIoFormat(PFILE_OBJECT, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::SetIoFormat(PFILE_OBJECT, PULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS UsbAudioAdapter::GetIoFormat(PFILE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

void UsbAudioAdapter::FreeAsioClients() {
    while (m_AsioClients.Flink != &m_AsioClients) {
        PLIST_ENTRY entry = m_AsioClients.Flink;
        m_AsioClients.Flink = entry->Flink;
        entry->Flink->Blink = &m_AsioClients;
        auto* client = CONTAINING_RECORD(entry, AsioClient, Links);
        if (client->NotifyEvent != nullptr) ObDereferenceObject(client->NotifyEvent);
        if (client->BufferEvent != nullptr) ObDereferenceObject(client->BufferEvent);
        ExFreePoolWithTag(client, UsbAudioAdapterUsbTag);
    }
    m_AsioOwner = nullptr;
    m_AsioOwnerFlag = 0;
}
