// What the per-channel controls (levels and switches) share: which of their channels the host sees
// behind an endpoint type, the cache block of their channel values, and the loop that sends the
// cache to the device.
#pragma once

#include <win/kernel.h>

// The endpoint types behind which the host sees every channel of a control: Stream, SPK, HDMI and
// Line. Behind any other (headphones, microphones, S/PDIF ...) it sees at most two.
inline ULONG ChannelsShown(ULONG TerminalType, ULONG ChannelCount) {
    constexpr ULONG MaxChannelsOfStereoTypes = 2;
    const bool showsAll = TerminalType == 0 || TerminalType == 1 || TerminalType == 4 || TerminalType == 6;
    return showsAll || ChannelCount < MaxChannelsOfStereoTypes ? ChannelCount : MaxChannelsOfStereoTypes;
}

// A zeroed block of ChannelCount + 1 values (one spare entry past the channels, as the values
// always had), or null without pool.
template <class Value>
Value* AllocateChannelValues(ULONG ChannelCount, POOL_TYPE PoolType, ULONG Tag) {
    const SIZE_T bytes = (static_cast<SIZE_T>(ChannelCount) + 1) * sizeof(Value);
    auto* values = static_cast<Value*>(ExAllocatePoolWithTag(PoolType, bytes, Tag));
    if (values != nullptr) RtlZeroMemory(values, bytes);
    return values;
}

// Control.SetValue with the cached value of every channel, stopping at the first failure;
// STATUS_INVALID_PARAMETER for a control without channels.
template <class Control, class Value>
NTSTATUS SetEveryChannel(Control& Target, ULONG ChannelCount, const Value* Values) {
    if (ChannelCount == 0) return STATUS_INVALID_PARAMETER;
    for (ULONG channel = 0; channel < ChannelCount; ++channel) {
        NTSTATUS status = Target.SetValue(channel, Values[channel]);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}
