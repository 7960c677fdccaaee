// Kernel: IRQL, spin locks, dispatcher objects, waits, timers, DPCs, threads, time.
#pragma once

#include <win/ntdef.h>

KV_EXTERN_C KIRQL KeGetCurrentIrql(void);
