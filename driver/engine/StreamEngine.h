// StreamEngine: the engine behind one wave filter. The HAL keeps its engines in its engine list
// (one reference each) and hands them out through AdapterCommon.
#pragma once

#include "driver/engine/Guids.h"

#include <win/unknown.h>

class StreamEngine : public IUnknown {
protected:
    ~StreamEngine() = default;
};
