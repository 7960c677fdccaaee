// What the driver's DSP classes share: pool tags, the channel limit, zero-filled object creation
// in non-paged pool, and the resolved tag of a wave format record.
#pragma once

#include <win/ex.h>
#include <win/mmreg.h>
#include <win/ntdef.h>
#include <win/rtl.h>

#include <new>

// Pool tags as they read in a pool dump: "DSPS" stage and chain objects, "SRCX" rate-stage state
// and histories, "DSPs" limiter buffers.
constexpr ULONG DspObjectTag = 'SPSD';
constexpr ULONG DspSrcBufferTag = 'XCRS';
constexpr ULONG DspLimiterTag = 'sPSD';

// Channel planes handled by every DSP stage; a count of 9 or more is refused.
constexpr LONG MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;

inline PVOID DspAllocate(SIZE_T bytes, ULONG tag) { return ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, bytes, tag); }

// Frees a pool block and nulls the pointer; null does nothing.
template <typename T>
inline void DspFree(T*& block, ULONG tag) {
    if (block != nullptr) {
        ExFreePoolWithTag(block, tag);
        block = nullptr;
    }
}

// A zero-filled object from non-paged pool, constructed in place; null on failure.
template <typename T>
inline T* DspCreateObject() {
    PVOID memory = DspAllocate(sizeof(T), DspObjectTag);
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(T));
    return new (memory) T();
}

// Destroys and frees an object from DspCreateObject and nulls the pointer; null does nothing. The
// pointer's type is the object's own (the DSP classes have no virtual destructor), so the call
// names T's destructor.
template <typename T>
inline void DspDestroyObject(T*& object) {
    if (object != nullptr) {
        object->T::~T();
        ExFreePoolWithTag(object, DspObjectTag);
        object = nullptr;
    }
}

// The format tag, taken from the sub-format's first word for an extensible record.
inline WORD DspResolvedTag(const WAVEFORMATEXTENSIBLE& format) {
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return static_cast<WORD>(format.SubFormat.Data1);
    return format.Format.wFormatTag;
}
