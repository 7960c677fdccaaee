// What the PnP manager's tests and their test driver module agree on.
#pragma once

#include <win/kernel.h>

// {6F0D3C1A-2B7E-4C59-9A41-3D8E5B2F7C10}: the test driver's device interface class.
inline constexpr GUID kTestInterfaceClass = {0x6F0D3C1A, 0x2B7E, 0x4C59, {0x9A, 0x41, 0x3D, 0x8E, 0x5B, 0x2F, 0x7C, 0x10}};

// Sent by the driver to its lower device at start (internal, METHOD_NEITHER, Argument1 = a ULONG
// that the lower device fills).
inline constexpr ULONG kTestLowerControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);
// Answered by the driver on its interface file: the input reversed (METHOD_BUFFERED).
inline constexpr ULONG kTestEchoControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Bits of the service key's "Parameters\Faults" value: mistakes the driver makes on purpose.
inline constexpr ULONG kFaultLeakIrp = 0x01;               // StartDevice allocates an IRP it never frees
inline constexpr ULONG kFaultKeepInterfaceEnabled = 0x02;  // removal leaves the interface enabled
inline constexpr ULONG kFaultKeepLowerReference = 0x04;    // removal keeps the lower device reference
inline constexpr ULONG kFaultLeakHandle = 0x08;            // StartDevice leaves the device key open
inline constexpr ULONG kFaultFailAddDevice = 0x10;         // AddDevice fails after attaching, undoing nothing
inline constexpr ULONG kFaultKeepTimerSet = 0x20;          // DriverEntry sets a timer with a DPC, never cancelled
inline constexpr ULONG kFaultQueueDpcAtUnload = 0x40;      // DriverUnload queues a DPC and does not flush it
inline constexpr ULONG kFaultKeepWorkItem = 0x80;          // StartDevice allocates a work item it never frees
inline constexpr ULONG kFaultKeepSystemThread = 0x100;     // DriverEntry starts a system thread that outlives it
