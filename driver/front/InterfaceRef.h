// InterfaceRef: holds one reference on a COM-style interface and releases it when it goes out of
// scope, so every early return of the front's routines drops what it took.
#pragma once

#include <win/unknown.h>

template <class Interface>
class InterfaceRef {
public:
    InterfaceRef() = default;
    // Takes over the reference that Pointer carries.
    explicit InterfaceRef(Interface* Pointer) : m_Pointer(Pointer) {}
    ~InterfaceRef() { Reset(); }

    InterfaceRef(const InterfaceRef&) = delete;
    InterfaceRef& operator=(const InterfaceRef&) = delete;

    Interface* Get() const { return m_Pointer; }
    Interface* operator->() const { return m_Pointer; }
    explicit operator bool() const { return m_Pointer != nullptr; }

    // For an out parameter that receives a referenced pointer; an old one is released first.
    Interface** Receive() {
        Reset();
        return &m_Pointer;
    }
    PVOID* ReceiveVoid() { return reinterpret_cast<PVOID*>(Receive()); }

    // Hands the reference to the caller.
    Interface* Detach() {
        Interface* pointer = m_Pointer;
        m_Pointer = nullptr;
        return pointer;
    }

    void Reset() {
        if (m_Pointer != nullptr) {
            Interface* pointer = m_Pointer;
            m_Pointer = nullptr;
            pointer->Release();
        }
    }

private:
    Interface* m_Pointer = nullptr;
};
