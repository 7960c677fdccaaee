// The adapter's AsioPrivateInterface. The ASIO service (clients, settings, rings and streaming) is
// not built yet: every operation answers STATUS_NOT_IMPLEMENTED, so the device-control dispatcher
// reports the request as failed rather than pretending it was served. The client list exists
// already, and the adapter frees whatever it holds.
#include "driver/engine/UsbAudioAdapter.h"

NTSTATUS UsbAudioAdapter::CreateClient(PFILE_OBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::Reserved(PFILE_OBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_UNSUCCESSFUL;  // no request reaches this slot
}

NTSTATUS UsbAudioAdapter::CloseClient(PFILE_OBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetDeviceName(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetChannels(PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetChannelInfo(PFILE_OBJECT FileObject, PVOID ChannelInfo, ULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(ChannelInfo);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::SetNotifyEvent(PFILE_OBJECT FileObject, PULONGLONG EventHandle) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(EventHandle);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::ClearNotifyEvent(PFILE_OBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetState(PFILE_OBJECT FileObject, PVOID Buffer) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetBitDepths(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetLatencyChoices(PFILE_OBJECT FileObject, PVOID Buffer, PULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::SetBitDepth(PFILE_OBJECT FileObject, ULONG SampleType) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(SampleType);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::SetLatency(PFILE_OBJECT FileObject, ULONG LatencyIndex) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(LatencyIndex);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetLatencies(PFILE_OBJECT FileObject, PVOID Buffer) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetSampleRate(PFILE_OBJECT FileObject, PVOID Buffer) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::CanSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(SampleRate);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::SetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(SampleRate);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetBufferSize(PFILE_OBJECT FileObject, PVOID Buffer) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::CreateBuffers(PFILE_OBJECT FileObject, PVOID Request, PVOID AddressTable, PULONG Length) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(AddressTable);
    UNREFERENCED_PARAMETER(Length);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::DisposeBuffers(PFILE_OBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::Start(PFILE_OBJECT FileObject, PULONGLONG EventHandle) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(EventHandle);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::Stop(PFILE_OBJECT FileObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::CanDoIoFormat(PFILE_OBJECT FileObject, PULONG Kind) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Kind);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::SetIoFormat(PFILE_OBJECT FileObject, PULONG Kind) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Kind);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS UsbAudioAdapter::GetIoFormat(PFILE_OBJECT FileObject, PVOID Buffer) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Buffer);
    return STATUS_NOT_IMPLEMENTED;
}

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
