// I/O manager: driver and device objects, IRPs.
#pragma once

#include <win/ntdef.h>

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

// The module's entry point; the declaration exports it from the loadable driver module.
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
KV_EXTERN_C __attribute__((visibility("default"))) DRIVER_INITIALIZE DriverEntry;
