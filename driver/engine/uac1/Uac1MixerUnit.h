// MixerUnit: the unit object of a UAC 1.0 MIXER_UNIT descriptor. Its inputs become its sources and
// it creates one mixer control; the mixer's own programmable controls are not used.
#pragma once

#include "driver/engine/hal/UnitNode.h"

#include <win/kernel.h>

class MixerUnit : public UnitNode {
public:
    MixerUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // Descriptor: a MIXER_UNIT whose bLength bytes the caller has bounded and which holds its
    // bNrInPins source ids, else STATUS_INVALID_PARAMETER.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    NTSTATUS CreateControls(AdapterCommon* Hal);
};
