// Runtime library: memory helpers, counted strings, safe string printing.
#pragma once

#include <win/ntdef.h>
