// SubdeviceInfo: the interface the driver's miniports answer besides their port-class ones. It
// names the subdevice and relates the topology filter's pins to the control ids of the engine's
// streaming terminals.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

// {1C704CEB-6111-4878-A9AF-0575E1C79F76}
DEFINE_GUID(IID_SubdeviceInfo, 0x1C704CEB, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76);

class SubdeviceInfo : public IUnknown {
public:
    // Operations in table order.

    // Topology miniport: in, a control id; out, the number of the pin of that control.
    // Wave-cyclic miniport: out, the control id of the engine's streaming terminal.
    STDMETHOD(MapNodeToPin)(PULONG Value) PURE;
    // The subdevice name, owned by the miniport; STATUS_INVALID_PARAMETER for a null Name.
    STDMETHOD(GetName)(PWSTR* Name) PURE;

protected:
    ~SubdeviceInfo() = default;
};
typedef SubdeviceInfo* PSUBDEVICEINFO;
