// What the headphone virtualisation sources share: their pool tag, the block limits and the
// precondition marker.
#pragma once

#include <win/ex.h>
#include <win/ntdef.h>
#include <win/rtl.h>

#include <new>

// Every block of the headphone virtualisation ("QVTP" in a pool dump).
constexpr ULONG QvtPoolTag = 'PTVQ';

// Device-rate frames per channel and block, at most.
constexpr LONG EachChannelSampleCntMax = 1024;

// States a precondition that the callers meet; nothing checks it at run time.
#define QVT_ASSERT(condition) ((void)0)

inline PVOID QvtAllocate(SIZE_T bytes) { return ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, bytes, QvtPoolTag); }

// Frees a block from QvtAllocate and nulls the pointer; null does nothing.
template <typename T>
inline void QvtFree(T*& block) {
    if (block != nullptr) {
        ExFreePoolWithTag(block, QvtPoolTag);
        block = nullptr;
    }
}

// A zero-filled float buffer of `count` floats; null on failure.
inline float* QvtAllocateFloats(LONG count) {
    float* block = static_cast<float*>(QvtAllocate(static_cast<SIZE_T>(count) * sizeof(float)));
    if (block != nullptr) RtlZeroMemory(block, static_cast<SIZE_T>(count) * sizeof(float));
    return block;
}

// An object constructed in zero-filled pool memory; null on failure.
template <typename T>
inline T* QvtCreateObject() {
    PVOID memory = QvtAllocate(sizeof(T));
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(T));
    return new (memory) T();
}

// Destroys and frees an object from QvtCreateObject and nulls the pointer; null does nothing.
template <typename T>
inline void QvtDestroyObject(T*& object) {
    if (object != nullptr) {
        object->~T();
        ExFreePoolWithTag(object, QvtPoolTag);
        object = nullptr;
    }
}
