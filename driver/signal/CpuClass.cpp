// Processor class that selects the dispatch column; 0 (generic) at load and never changed.
#include "driver/signal/SignalLibrary.h"

LONG CpuClass = 0;
