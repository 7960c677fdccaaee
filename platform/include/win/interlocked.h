// Interlocked operations: full-barrier atomic read-modify-write on aligned 32-bit, 64-bit and
// pointer-sized values. Increment, Decrement and Add answer the new value; Exchange, ExchangeAdd,
// CompareExchange, And, Or and Xor answer the value found before the operation.
// Read/Write...Acquire/Release/NoFence are single atomic loads and stores, for values that other
// processors change with interlocked operations.
// The unsigned overloads serve counters declared ULONG or ULONG64 without casts.
#pragma once

#include <win/ntdef.h>

namespace kv_interlocked {

constexpr int kFull = __ATOMIC_SEQ_CST;

template <class T>
inline T Increment(T volatile* v) { return __atomic_add_fetch(v, T(1), kFull); }
template <class T>
inline T Decrement(T volatile* v) { return __atomic_sub_fetch(v, T(1), kFull); }
template <class T>
inline T Exchange(T volatile* v, T value) { return __atomic_exchange_n(v, value, kFull); }
template <class T>
inline T CompareExchange(T volatile* v, T exchange, T comparand) {
    __atomic_compare_exchange_n(v, &comparand, exchange, false, kFull, kFull);
    return comparand;  // on a miss the builtin stored the value found
}
template <class T>
inline T ExchangeAdd(T volatile* v, T value) { return __atomic_fetch_add(v, value, kFull); }
template <class T>
inline T Add(T volatile* v, T value) { return __atomic_add_fetch(v, value, kFull); }
template <class T>
inline T And(T volatile* v, T value) { return __atomic_fetch_and(v, value, kFull); }
template <class T>
inline T Or(T volatile* v, T value) { return __atomic_fetch_or(v, value, kFull); }
template <class T>
inline T Xor(T volatile* v, T value) { return __atomic_fetch_xor(v, value, kFull); }
template <class T>
inline T Load(T const volatile* v, int order) { return __atomic_load_n(v, order); }
template <class T>
inline void Store(T volatile* v, T value, int order) { __atomic_store_n(v, value, order); }

}  // namespace kv_interlocked

#define KV_INTERLOCKED_FORMS(T, S)                                                                          \
    inline T InterlockedIncrement##S(T volatile* Addend) { return kv_interlocked::Increment(Addend); }     \
    inline T InterlockedDecrement##S(T volatile* Addend) { return kv_interlocked::Decrement(Addend); }     \
    inline T InterlockedExchange##S(T volatile* Target, T Value) {                                          \
        return kv_interlocked::Exchange(Target, Value);                                                     \
    }                                                                                                       \
    inline T InterlockedCompareExchange##S(T volatile* Destination, T Exchange, T Comparand) {              \
        return kv_interlocked::CompareExchange(Destination, Exchange, Comparand);                           \
    }                                                                                                       \
    inline T InterlockedExchangeAdd##S(T volatile* Addend, T Value) {                                       \
        return kv_interlocked::ExchangeAdd(Addend, Value);                                                  \
    }                                                                                                       \
    inline T InterlockedAdd##S(T volatile* Addend, T Value) { return kv_interlocked::Add(Addend, Value); } \
    inline T InterlockedAnd##S(T volatile* Destination, T Value) {                                          \
        return kv_interlocked::And(Destination, Value);                                                     \
    }                                                                                                       \
    inline T InterlockedOr##S(T volatile* Destination, T Value) {                                           \
        return kv_interlocked::Or(Destination, Value);                                                      \
    }                                                                                                       \
    inline T InterlockedXor##S(T volatile* Destination, T Value) {                                          \
        return kv_interlocked::Xor(Destination, Value);                                                     \
    }                                                                                                       \
    inline T ReadAcquire##S(T const volatile* Source) {                                                     \
        return kv_interlocked::Load(Source, __ATOMIC_ACQUIRE);                                              \
    }                                                                                                       \
    inline T ReadNoFence##S(T const volatile* Source) {                                                     \
        return kv_interlocked::Load(Source, __ATOMIC_RELAXED);                                              \
    }                                                                                                       \
    inline void WriteRelease##S(T volatile* Destination, T Value) {                                         \
        kv_interlocked::Store(Destination, Value, __ATOMIC_RELEASE);                                        \
    }                                                                                                       \
    inline void WriteNoFence##S(T volatile* Destination, T Value) {                                         \
        kv_interlocked::Store(Destination, Value, __ATOMIC_RELAXED);                                        \
    }

KV_INTERLOCKED_FORMS(LONG, )
KV_INTERLOCKED_FORMS(ULONG, )
KV_INTERLOCKED_FORMS(LONG64, 64)
KV_INTERLOCKED_FORMS(ULONG64, 64)

#undef KV_INTERLOCKED_FORMS

inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return kv_interlocked::Exchange(Target, Value);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    return kv_interlocked::CompareExchange(Destination, Exchange, Comparand);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return kv_interlocked::Load(Source, __ATOMIC_ACQUIRE);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* Source) {
    return kv_interlocked::Load(Source, __ATOMIC_RELAXED);
}
inline void WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    kv_interlocked::Store(Destination, Value, __ATOMIC_RELEASE);
}
inline void WritePointerNoFence(PVOID volatile* Destination, PVOID Value) {
    kv_interlocked::Store(Destination, Value, __ATOMIC_RELAXED);
}
