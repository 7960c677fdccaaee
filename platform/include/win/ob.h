// Object manager: referenced objects, handles and object types.
#pragma once

#include <win/ntdef.h>

typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Object types that drivers name when they reference an object by handle.
KV_KERNEL_DATA POBJECT_TYPE* ExEventObjectType;
KV_KERNEL_DATA POBJECT_TYPE* PsThreadType;
KV_KERNEL_DATA POBJECT_TYPE* PsProcessType;
KV_KERNEL_DATA POBJECT_TYPE* IoFileObjectType;
KV_KERNEL_DATA POBJECT_TYPE* ExCallbackObjectType;

KV_EXTERN_C NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode, PVOID* Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation);
KV_EXTERN_C LONG_PTR ObfReferenceObject(PVOID Object);
KV_EXTERN_C LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
// Clears the permanent mark of an object created with OBJ_PERMANENT: the object and its name go
// when the last reference does. Nothing for a temporary object.
KV_EXTERN_C VOID ObMakeTemporaryObject(PVOID Object);

KV_EXTERN_C NTSTATUS ZwClose(HANDLE Handle);
KV_EXTERN_C NTSTATUS NtClose(HANDLE Handle);
