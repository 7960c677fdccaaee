// Stand-ins for what the port-class front calls: an adapter with scripted engines, the engines'
// operations and a topology miniport, all logging what the front does with them; and a rig that
// loads the driver's front (linked into the test) through the PnP manager and drives one device.
#pragma once

#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"

#include <gtest/gtest.h>
#include <sim/pnp.h>
#include <win/kernel.h>

#include <string>
#include <vector>

namespace front_test {

using Log = std::vector<std::string>;

struct EngineScript {
    ULONG direction = StreamDirectionRender;
    ULONG type = 1;  // "SPK"
    bool asio = false;
    NTSTATUS setName = STATUS_SUCCESS;
    NTSTATUS install = STATUS_SUCCESS;
    NTSTATUS remove = STATUS_SUCCESS;
};

// What the stand-ins do; reset for every test.
struct Script {
    std::vector<EngineScript> engines;
    NTSTATUS create = STATUS_SUCCESS;  // CreateAdapter
    NTSTATUS init = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    bool answersAsio = true;  // the adapter answers AsioPrivateInterface
    NTSTATUS createClient = STATUS_SUCCESS;
    NTSTATUS closeClient = STATUS_SUCCESS;
    NTSTATUS asioControl = STATUS_SUCCESS;
    NTSTATUS topologyCreate = STATUS_SUCCESS;
    bool topologyAnswersSubdeviceInfo = true;
};

Script& CurrentScript();
Log& Events();
// Events that start with prefix.
Log EventsWith(const std::string& prefix);
int LiveAdapters();
int LiveEngines();

// What a fake engine was given, by the name it got (empty before SetName).
struct EngineView {
    std::u16string name;
    EngineMiniportCreator creator = nullptr;
    GUID portClass{};
    PUNKNOWN topologyPort = nullptr;
};
std::vector<EngineView> EngineViews();

// The callee table of the stand-ins; the wave-cyclic creator is a marker the engines only keep.
const FrontCallees& FakeCallees();

// Loads the front with the stand-ins and drives one device through the PnP manager. The
// destructor removes, unplugs and unloads whatever is still there (the unload runs the verifier).
class Rig {
public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    NTSTATUS Add();
    NTSTATUS Start();
    NTSTATUS SurpriseRemove();
    NTSTATUS Remove();
    void Finish();  // remove when added, unplug, unload

    PDEVICE_OBJECT Functional() const;
    AdapterDeviceExtension* Extension() const { return GetAdapterExtension(Functional()); }
    sim::pnp::DeviceNode* Node() const { return m_Node; }
    sim::pnp::Driver* Driver() const { return m_Driver; }
    // "\Device\USBPDO-n" + file: opens a file on the device whatever its interfaces' state.
    std::u16string DevicePath(std::u16string_view file) const;
    // The device's interfaces of a class, registered or enabled.
    sim::pnp::InterfaceInfo Interface(const GUID& classGuid) const;

private:
    const FrontCallees* m_Previous = nullptr;
    sim::pnp::Driver* m_Driver = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    bool m_Added = false;
};

}  // namespace front_test
