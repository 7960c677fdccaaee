// The kernel's published interface as the driver sees it: types, executive, kernel, I/O,
// object manager, process, memory manager, runtime library and Zw services.
#pragma once

#include <win/ntdef.h>
#include <win/interlocked.h>
#include <win/ob.h>
#include <win/ke.h>
#include <win/ex.h>
#include <win/rtl.h>
#include <win/zw.h>
#include <win/io.h>
#include <win/mm.h>
