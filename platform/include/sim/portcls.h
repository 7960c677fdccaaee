// Simulation control of the port-class library: the version IPortClsVersion reports, and what an
// adapter's functional device object has registered (subdevices, physical connections, power
// management) as tests and the simulator tool see it.
#pragma once

#include <win/portcls.h>

#include <string>
#include <vector>

namespace sim::portcls {

// What IPortClsVersion::GetVersion answers; kVersionWinServer2003_UAAQFE unless set.
DWORD Version();
void SetVersion(DWORD version);

bool IsPortClassDevice(PDEVICE_OBJECT device);

struct Subdevice {
    std::u16string name;
    PUNKNOWN port = nullptr;  // the registered port's identity (no reference for the caller)
    CLSID portClass{};
    PUNKNOWN miniport = nullptr;  // the miniport the port was initialised with, or null
};
// Subdevices registered on the adapter's functional device object, in registration order.
std::vector<Subdevice> Subdevices(PDEVICE_OBJECT device);

struct Connection {
    std::u16string from;  // subdevice name, or the external name
    ULONG fromPin = 0;
    std::u16string to;
    ULONG toPin = 0;
};
std::vector<Connection> Connections(PDEVICE_OBJECT device);

// The registered IAdapterPowerManagement, or null.
PUNKNOWN AdapterPowerManagement(PDEVICE_OBJECT device);
// The device power state port-class last told the adapter about.
DEVICE_POWER_STATE PowerState(PDEVICE_OBJECT device);
// How often IPortWaveCyclic::Notify and IPortEvents::GenerateEventList were called on a port.
ULONG NotifyCount(PUNKNOWN port);
ULONG GeneratedEventCount(PUNKNOWN port);
// How often the port signalled the event a client enabled with this event data (0 when it is not
// enabled).
ULONG EventSignals(const KSEVENTDATA* registration);

// An open pin's cyclic buffer, as the audio engine reaches it: the DMA channel's buffer size, and
// copies into (render) or out of (capture) it through the channel's CopyTo and CopyFrom at
// DISPATCH_LEVEL. A copy that would leave the buffer is refused (false). Every file must be a pin
// the library opened.
ULONG PinBufferSize(PFILE_OBJECT pin);
bool PinWrite(PFILE_OBJECT pin, ULONG offset, const void* data, ULONG length);
bool PinRead(PFILE_OBJECT pin, ULONG offset, void* data, ULONG length);
// How often the stream's service group has served the pin (once per IPortWaveCyclic::Notify).
ULONG PinServiceCount(PFILE_OBJECT pin);

// Content protection as the system hands it to a stream: the pin's stream is asked for
// IDrmAudioStream and given the content identifier; STATUS_NOT_IMPLEMENTED when it has none.
NTSTATUS PinSetContentId(PFILE_OBJECT pin, ULONG contentId, const DRMRIGHTS& rights);
// The last identifier a driver forwarded with PcForwardContentToDeviceObject, and where to.
struct ForwardedContent {
    bool forwarded = false;
    ULONG contentId = 0;
    PDEVICE_OBJECT deviceObject = nullptr;
    PFILE_OBJECT fileObject = nullptr;
};
ForwardedContent LastForwardedContent();

}  // namespace sim::portcls
