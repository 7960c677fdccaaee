// The driver's private property set. The wave filter answers id 1 (the endpoint record); the
// topology filter serves the other ids.
#pragma once

#include <win/kernel.h>

// {1B4400F0-9627-4EE7-A593-B37C034EF0DE}
DEFINE_GUID(PrivateDriverPropSet, 0x1B4400F0, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE);

// Id of the endpoint record (EndpointInfo) of the wave filter's engine.
constexpr ULONG PrivateDriverPropEndpointInfo = 1;
