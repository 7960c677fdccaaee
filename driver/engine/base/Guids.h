// Interface identifiers of the driver's own interfaces. Platform interfaces keep their published
// identifiers in the platform headers (IID_IUnknown in win/unknown.h, the port-class ones in
// win/portcls.h).
#pragma once

#include <win/ntdef.h>

// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
DEFINE_GUID(IID_AdapterCommon, 0x7284B608, 0x74F9, 0x4B95, 0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58);
// {3D64C291-9F42-43E5-A468-2C5DC9BB2353}
DEFINE_GUID(IID_StreamEngine, 0x3D64C291, 0x9F42, 0x43E5, 0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53);
