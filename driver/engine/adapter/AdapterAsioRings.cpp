// The adapter's AsioPrivateInterface, second half: the owner's shared rings and the streaming.
#include "driver/engine/adapter/AdapterAsio.h"

NTSTATUS UsbAudioAdapter::CreateBuffers(PFILE_OBJECT, PVOID, PVOID, PULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS UsbAudioAdapter::DisposeBuffers(PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS UsbAudioAdapter::Start(PFILE_OBJECT, PULONGLONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS UsbAudioAdapter::Stop(PFILE_OBJECT, PIRP) { return STATUS_NOT_IMPLEMENTED; }
void UsbAudioAdapter::ReleaseAsioBuffers(AsioClient* Client) { Client->Buffers = 0; }
NTSTATUS UsbAudioAdapter::StartAsioStreaming() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS UsbAudioAdapter::StopAsioStreaming() { return STATUS_NOT_IMPLEMENTED; }
void UsbAudioAdapter::ResetAsioRings() {}
void UsbAudioAdapter::CompleteHeldAsioStop() {}
