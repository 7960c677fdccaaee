// One interface of a control's unit, queried for the duration of a call and released with the
// holder. Controls keep their unit without a reference (the unit owns them), so every use of a
// unit interface goes through a holder.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

template <class Interface>
class UnitInterface {
public:
    // Unit may be null: the holder then answers STATUS_INVALID_PARAMETER.
    UnitInterface(PUNKNOWN Unit, REFIID InterfaceId) {
        if (Unit == nullptr) return;
        PVOID answer = nullptr;
        m_Status = Unit->QueryInterface(InterfaceId, &answer);
        if (NT_SUCCESS(m_Status)) {
            m_Interface = static_cast<Interface*>(answer);
            if (m_Interface == nullptr) m_Status = STATUS_UNSUCCESSFUL;
        }
    }
    ~UnitInterface() {
        if (m_Interface != nullptr) m_Interface->Release();
    }
    UnitInterface(const UnitInterface&) = delete;
    UnitInterface& operator=(const UnitInterface&) = delete;

    // The query's status; the interface is usable only on success.
    NTSTATUS Status() const { return m_Status; }
    Interface* operator->() const { return m_Interface; }

private:
    Interface* m_Interface = nullptr;
    NTSTATUS m_Status = STATUS_INVALID_PARAMETER;
};

// Unit's interface with a reference the caller releases; *Answer is null on failure. A control not
// yet bound to a unit answers STATUS_UNSUCCESSFUL.
template <class Interface>
NTSTATUS QueryUnitInterface(PUNKNOWN Unit, REFIID InterfaceId, Interface** Answer) {
    *Answer = nullptr;
    if (Unit == nullptr) return STATUS_UNSUCCESSFUL;
    return Unit->QueryInterface(InterfaceId, reinterpret_cast<PVOID*>(Answer));
}
