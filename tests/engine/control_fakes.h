// Fakes for the control tests: a feature unit that answers FeatureUnitChannels and
// FeatureUnitRanges from per-selector state and logs every request, a recorder of the change
// notices sent to a callback object, and a holder for kernel objects made in a test.
#pragma once

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/hal/UnitNode.h"

#include <gtest/gtest.h>
#include <win/kernel.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace control_test {

constexpr ULONG kTestTag = 'tseT';

// Levels in 1/65536 dB.
constexpr LONG Db(double decibels) { return static_cast<LONG>(decibels * 65536.0); }

// One reference to a kernel object, released with the holder.
struct KernelRelease {
    template <class T>
    void operator()(T* object) const {
        object->NonDelegatingRelease();
    }
};
template <class T>
using KernelHolder = std::unique_ptr<T, KernelRelease>;

template <class T, class... Arguments>
KernelHolder<T> MakeKernelObject(Arguments&&... args) {
    T* object = new (NonPagedPoolNx, kTestTag) T(nullptr, std::forward<Arguments>(args)...);
    EXPECT_NE(object, nullptr);
    if (object != nullptr) object->NonDelegatingAddRef();
    return KernelHolder<T>(object);
}

// What the fake unit knows of one control selector.
struct SelectorState {
    ULONG channels = 1;
    LONG maximum = 0;
    LONG minimum = 0;
    LONG resolution = 0;
    std::vector<LONG> current;  // device values per channel (one-byte controls keep 0 or 1)
    NTSTATUS countStatus = STATUS_SUCCESS;
    NTSTATUS rangeStatus = STATUS_SUCCESS;
    NTSTATUS getStatus = STATUS_SUCCESS;
    NTSTATUS setStatus = STATUS_SUCCESS;
    ULONG refuseSetFrom = MAXULONG;  // SetCur fails for channels at or above this one
};

// A feature unit as the controls see it. Its log holds one line per request: "get 2/0",
// "set 2/1=-655360", "count 2", "range 2".
class FakeFeatureUnit : public UnitNode, public FeatureUnitChannels, public FeatureUnitRanges {
public:
    DECLARE_KERNEL_UNKNOWN();

    FakeFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}

    SelectorState& Selector(ULONG selector) { return m_Selectors[selector]; }
    std::vector<std::string>& Log() { return m_Log; }
    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }
    // Runs in CreateControls, as the unit classes create their controls.
    std::function<NTSTATUS(FakeFeatureUnit&, AdapterCommon*)> createControls;

    // FeatureUnitChannels.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) override {
        LONG value = 0;
        NTSTATUS status = Get(ControlSelector, Channel, &value);
        if (NT_SUCCESS(status)) *Value = static_cast<UCHAR>(value);
        return status;
    }
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override {
        return Set(ControlSelector, Channel, Value);
    }
    STDMETHODIMP GetChannelCount(ULONG ControlSelector, PULONG Count) override {
        m_Log.push_back("count " + std::to_string(ControlSelector));
        SelectorState& state = m_Selectors[ControlSelector];
        if (!NT_SUCCESS(state.countStatus)) return state.countStatus;
        *Count = state.channels;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override {
        return createControls ? createControls(*this, Hal) : STATUS_SUCCESS;
    }

    // FeatureUnitRanges.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override {
        return Get(ControlSelector, Channel, Value);
    }
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override {
        return Set(ControlSelector, Channel, Value);
    }
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override {
        m_Log.push_back("range " + std::to_string(ControlSelector));
        SelectorState& state = m_Selectors[ControlSelector];
        if (!NT_SUCCESS(state.rangeStatus)) return state.rangeStatus;
        *Maximum = state.maximum;
        *Minimum = state.minimum;
        *Resolution = state.resolution;
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS Get(ULONG selector, ULONG channel, PLONG value) {
        m_Log.push_back("get " + std::to_string(selector) + "/" + std::to_string(channel));
        SelectorState& state = m_Selectors[selector];
        if (!NT_SUCCESS(state.getStatus)) return state.getStatus;
        if (channel >= state.current.size()) return STATUS_INVALID_PARAMETER;
        *value = state.current[channel];
        return STATUS_SUCCESS;
    }
    NTSTATUS Set(ULONG selector, ULONG channel, LONG value) {
        m_Log.push_back("set " + std::to_string(selector) + "/" + std::to_string(channel) + "=" +
                        std::to_string(value));
        SelectorState& state = m_Selectors[selector];
        if (!NT_SUCCESS(state.setStatus)) return state.setStatus;
        if (channel >= state.refuseSetFrom || channel >= state.current.size()) return STATUS_UNSUCCESSFUL;
        state.current[channel] = value;
        return STATUS_SUCCESS;
    }

    std::map<ULONG, SelectorState> m_Selectors;
    std::vector<std::string> m_Log;
};

inline NTSTATUS FakeFeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_FeatureUnitChannels, static_cast<FeatureUnitChannels*>(this)},
        {IID_FeatureUnitRanges, static_cast<FeatureUnitRanges*>(this)},
    };
    if (IsEqualGUID(InterfaceId, IID_FeatureUnitChannels) || IsEqualGUID(InterfaceId, IID_FeatureUnitRanges)) {
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

// A callback object of its own with one registration that records the control id of every
// ControlChangeRecord it is sent.
class ChangeRecorder {
public:
    explicit ChangeRecorder(const char16_t* name = u"\\Callback\\ControlTestChanges") {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        EXPECT_EQ(ExCreateCallback(&m_Object, &attributes, TRUE, TRUE), STATUS_SUCCESS);
        m_Registration = ExRegisterCallback(m_Object, Record, this);
    }
    ~ChangeRecorder() {
        if (m_Registration != nullptr) ExUnregisterCallback(m_Registration);
        if (m_Object != nullptr) ObDereferenceObject(m_Object);
    }
    ChangeRecorder(const ChangeRecorder&) = delete;
    ChangeRecorder& operator=(const ChangeRecorder&) = delete;

    PCALLBACK_OBJECT Object() const { return m_Object; }
    // Control ids of the records received, in order.
    const std::vector<ULONG>& ControlIds() const { return m_ControlIds; }
    // Every record was complete: kind 1, count 1, reserved fields zero, second argument null.
    bool AllWellFormed() const { return m_WellFormed; }

private:
    static void Record(PVOID context, PVOID argument1, PVOID argument2) {
        auto* self = static_cast<ChangeRecorder*>(context);
        const auto* record = static_cast<const ControlChangeRecord*>(argument1);
        self->m_ControlIds.push_back(record->ControlId);
        if (record->Kind != ControlChangeValue || record->Count != 1 || record->Reserved1 != 0 ||
            record->Reserved2 != 0 || argument2 != nullptr) {
            self->m_WellFormed = false;
        }
    }

    PCALLBACK_OBJECT m_Object = nullptr;
    PVOID m_Registration = nullptr;
    std::vector<ULONG> m_ControlIds;
    bool m_WellFormed = true;
};

}  // namespace control_test
