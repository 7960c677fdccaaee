// What the adapter's ASIO files share: the ASIO mutex held for a scope and the priority boost of
// the events the service sets.
#pragma once

#include "driver/engine/adapter/UsbAudioAdapter.h"

// Events set for the ASIO library get this priority increment.
constexpr KPRIORITY AsioEventIncrement = 8;

// The adapter's ASIO mutex for a scope.
class AsioLock {
public:
    explicit AsioLock(KernelMutex& Mutex) : m_Mutex(Mutex) { m_Mutex.Lock(); }
    ~AsioLock() { m_Mutex.Unlock(); }
    AsioLock(const AsioLock&) = delete;
    AsioLock& operator=(const AsioLock&) = delete;

private:
    KernelMutex& m_Mutex;
};
