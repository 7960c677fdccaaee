// Executive: pool, lookaside lists, interlocked operations, debug output.
#pragma once

#include <win/ntdef.h>

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

KV_EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
KV_EXTERN_C VOID ExFreePool(PVOID P);
KV_EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

KV_EXTERN_C ULONG DbgPrint(PCSTR Format, ...);
