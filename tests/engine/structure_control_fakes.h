// Fakes for the selector, connector, terminal-type, sample-rate and vendor control tests: units
// that answer Selector, TerminalInfo and SampleRateControl from plain state, a HAL that answers
// DeviceModel, and listeners. All of them write one line per call into a shared call log, so a
// test can check which calls happened and in which order.
#pragma once

#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/interfaces/Selector.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/hal/UnitNode.h"
#include "engine/control_fakes.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace structure_test {

using control_test::KernelHolder;
using control_test::MakeKernelObject;

using CallLog = std::vector<std::string>;

// As MakeKernelObject, for allocation-failure sweeps: null without pool, and no complaint.
template <class T, class... Arguments>
KernelHolder<T> TryMakeKernelObject(Arguments&&... args) {
    T* object = new (NonPagedPoolNx, control_test::kTestTag) T(nullptr, std::forward<Arguments>(args)...);
    if (object != nullptr) object->NonDelegatingAddRef();
    return KernelHolder<T>(object);
}

inline std::string Str(ULONG value) { return std::to_string(value); }

// A selector unit: "unit get", "unit set 2", "unit count".
class FakeSelectorUnit : public UnitNode, public Selector {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeSelectorUnit(PUNKNOWN UnknownOuter, ULONG Id, CallLog* Log) : UnitNode(UnknownOuter, Id), m_Log(Log) {}

    ULONG inputs = 2;
    ULONG selected = 1;
    NTSTATUS getStatus = STATUS_SUCCESS;
    NTSTATUS setStatus = STATUS_SUCCESS;

    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }

    STDMETHODIMP GetSelected(PULONG Selection) override {
        m_Log->push_back("unit get");
        if (!NT_SUCCESS(getStatus)) return getStatus;
        *Selection = selected;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetSelected(ULONG Input) override {
        m_Log->push_back("unit set " + Str(Input));
        if (NT_SUCCESS(setStatus)) selected = Input;
        return setStatus;
    }
    STDMETHODIMP GetSourceCount(PULONG Count) override {
        m_Log->push_back("unit count");
        *Count = inputs;
        return STATUS_SUCCESS;
    }
    using AudioNode::GetSourceCount;
    STDMETHODIMP AddListener(SelectorListener*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    CallLog* m_Log;
};

inline NTSTATUS FakeSelectorUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_Selector, static_cast<Selector*>(this)}};
    if (IsEqualGUID(InterfaceId, IID_Selector)) return AnswerQuery(InterfaceId, Interface, answers);
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

// A terminal unit with its types, current type and per-type jack records: "unit type",
// "unit select 2", "unit jacks 0" (count), "unit descriptions 0/72" (index/bytes).
class FakeTerminalUnit : public UnitNode, public TerminalInfo {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeTerminalUnit(PUNKNOWN UnknownOuter, ULONG Id, CallLog* Log) : UnitNode(UnknownOuter, Id), m_Log(Log) {}

    std::vector<ULONG> types = {1, 2};
    ULONG current = 1;
    std::map<ULONG, std::vector<JackRecord>> jacks;  // by type index
    NTSTATUS typeStatus = STATUS_SUCCESS;
    std::map<ULONG, NTSTATUS> refuse;  // SelectType answers for these types

    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }

    STDMETHODIMP GetTerminalType(PULONG Type) override {
        m_Log->push_back("unit type");
        if (!NT_SUCCESS(typeStatus)) return typeStatus;
        *Type = current;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeCount(PULONG Count) override {
        *Count = static_cast<ULONG>(types.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeList(PULONG Types) override {
        std::copy(types.begin(), types.end(), Types);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SelectType(ULONG Type) override {
        m_Log->push_back("unit select " + Str(Type));
        if (auto it = refuse.find(Type); it != refuse.end()) return it->second;
        if (std::find(types.begin(), types.end(), Type) == types.end()) return STATUS_UNSUCCESSFUL;
        current = Type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetJackCount(PULONG Count, ULONG Index) override {
        m_Log->push_back("unit jacks " + Str(Index));
        *Count = static_cast<ULONG>(jacks[Index].size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) override {
        m_Log->push_back("unit descriptions " + Str(Index) + "/" + Str(ByteSize));
        const std::vector<JackRecord>& records = jacks[Index];
        const size_t bytes = records.size() * sizeof(JackRecord);
        if (Buffer == nullptr || ByteSize < bytes) return STATUS_INVALID_PARAMETER;
        if (bytes != 0) std::memcpy(Buffer, records.data(), bytes);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetPinRecord(EndpointInfo*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    CallLog* m_Log;
};

inline NTSTATUS FakeTerminalUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_TerminalInfo, static_cast<TerminalInfo*>(this)}};
    if (IsEqualGUID(InterfaceId, IID_TerminalInfo)) return AnswerQuery(InterfaceId, Interface, answers);
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

// A HAL with a device model: "hal update 7", "hal callback". Without answerModel it answers no
// DeviceModel, as the model HALs without one do.
class FakeModelHal : public CKernelUnknown, public DeviceModel {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeModelHal(PUNKNOWN UnknownOuter, CallLog* Log) : CKernelUnknown(UnknownOuter), m_Log(Log) {}

    bool answerModel = true;
    NTSTATUS updateStatus = STATUS_SUCCESS;
    NTSTATUS callbackStatus = STATUS_SUCCESS;
    PCALLBACK_OBJECT callbackObject = nullptr;
    std::function<void()> onUpdate;  // runs inside UpdateMiniports

    PUNKNOWN AsHal() { return static_cast<DeviceModel*>(this); }

    STDMETHODIMP UpdateMiniports(ULONG UnitId) override {
        m_Log->push_back("hal update " + Str(UnitId));
        if (onUpdate) onUpdate();
        return updateStatus;
    }
    STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override {
        m_Log->push_back("hal callback");
        if (CallbackObject == nullptr) return STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(callbackStatus)) *CallbackObject = callbackObject;
        return callbackStatus;
    }
    STDMETHODIMP BuildTopology(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP RestoreDeviceState() override { return STATUS_NOT_IMPLEMENTED; }

private:
    CallLog* m_Log;
};

inline NTSTATUS FakeModelHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_DeviceModel, static_cast<DeviceModel*>(this)}};
    if (answerModel) return AnswerQuery(InterfaceId, Interface, answers);
    return AnswerQuery(InterfaceId, Interface, {});
}

// "<name> type 2 cb" (with a callback object) or "<name> type 2".
class FakeTypeListener : public CKernelUnknown, public TerminalTypeListener {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeTypeListener(PUNKNOWN UnknownOuter, CallLog* Log, std::string Name)
        : CKernelUnknown(UnknownOuter), m_Log(Log), m_Name(std::move(Name)) {}

    NTSTATUS status = STATUS_SUCCESS;

    STDMETHODIMP OnTerminalTypeChanged(ULONG TerminalType, PCALLBACK_OBJECT CallbackObject) override {
        m_Log->push_back(m_Name + " type " + Str(TerminalType) + (CallbackObject != nullptr ? " cb" : ""));
        return status;
    }

private:
    CallLog* m_Log;
    std::string m_Name;
};

inline NTSTATUS FakeTypeListener::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_TerminalTypeListener, static_cast<TerminalTypeListener*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

// "<name> changing 3<-1", "<name> changed 3".
class FakeSelectorListener : public CKernelUnknown, public SelectorListener {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeSelectorListener(PUNKNOWN UnknownOuter, CallLog* Log, std::string Name)
        : CKernelUnknown(UnknownOuter), m_Log(Log), m_Name(std::move(Name)) {}

    NTSTATUS changingStatus = STATUS_SUCCESS;
    NTSTATUS changedStatus = STATUS_SUCCESS;

    STDMETHODIMP OnSelectionChanging(ULONG NewSelection, ULONG OldSelection) override {
        m_Log->push_back(m_Name + " changing " + Str(NewSelection) + "<-" + Str(OldSelection));
        return changingStatus;
    }
    STDMETHODIMP OnSelectionChanged(ULONG Selection) override {
        m_Log->push_back(m_Name + " changed " + Str(Selection));
        return changedStatus;
    }
    STDMETHODIMP SetSelectorInput(ULONG) override { return STATUS_SUCCESS; }

private:
    CallLog* m_Log;
    std::string m_Name;
};

inline NTSTATUS FakeSelectorListener::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_SelectorListener, static_cast<SelectorListener*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

// A clock source: "clock set 48000", "clock valid".
class FakeClockSource : public UnitNode, public SampleRateControl {
public:
    DECLARE_KERNEL_UNKNOWN();
    FakeClockSource(PUNKNOWN UnknownOuter, ULONG Id, CallLog* Log) : UnitNode(UnknownOuter, Id), m_Log(Log) {}

    std::vector<ULONG> rates = {44100, 48000};
    ULONG reportedCount = MAXULONG;  // GetRateCount's answer; MAXULONG: rates.size()
    NTSTATUS setStatus = STATUS_SUCCESS;

    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }

    STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override {
        *Count = std::min<ULONG>(*Count, static_cast<ULONG>(rates.size()));
        std::copy(rates.begin(), rates.begin() + *Count, Rates);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetRateCount(PULONG Count) override {
        *Count = reportedCount != MAXULONG ? reportedCount : static_cast<ULONG>(rates.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetRate(ULONG Rate) override {
        m_Log->push_back("clock set " + Str(Rate));
        return setStatus;
    }
    STDMETHODIMP GetRate(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP IsClockValid(PUCHAR Valid) override {
        m_Log->push_back("clock valid");
        *Valid = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP Init(ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    CallLog* m_Log;
};

inline NTSTATUS FakeClockSource::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_SampleRateControl, static_cast<SampleRateControl*>(this)}};
    if (IsEqualGUID(InterfaceId, IID_SampleRateControl)) return AnswerQuery(InterfaceId, Interface, answers);
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

// The current reference count of a kernel object (without changing it).
inline ULONG References(CKernelUnknown* object) {
    object->NonDelegatingAddRef();
    return object->NonDelegatingRelease();
}

// Bytes of a stored REG_BINARY value, or empty when absent.
inline std::vector<uint8_t> LittleEndian(ULONG value, size_t bytes = 4) {
    std::vector<uint8_t> data;
    const uint64_t wide = value;
    for (size_t i = 0; i < bytes; ++i) data.push_back(static_cast<uint8_t>(i < 8 ? wide >> (8 * i) : 0));
    return data;
}

}  // namespace structure_test
