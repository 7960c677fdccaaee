// Zw services: registry keys and values, files under \SystemRoot\, handles.
#pragma once

#include <win/ntdef.h>
