#include "driver/front/FrontCallees.h"

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/WaveCyclicMiniport.h"

#include <atomic>

namespace {

NTSTATUS TopologyMiniportNotBuilt(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN, POOL_TYPE) {
    if (Unknown != nullptr) *Unknown = nullptr;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AsioControlNotBuilt(AsioPrivateInterface*, PIRP) { return STATUS_NOT_IMPLEMENTED; }

constexpr FrontCallees DriverCallees = {
    .CreateAdapter = CreateAdapter,
    .CreateTopologyMiniport = TopologyMiniportNotBuilt,
    .CreateWaveCyclicMiniport = CreateWaveCyclicMiniport,
    .DispatchAsioControl = AsioControlNotBuilt,
};

std::atomic<const FrontCallees*> CurrentTable{&DriverCallees};

}  // namespace

const FrontCallees* CurrentFrontCallees() { return CurrentTable.load(std::memory_order_acquire); }

const FrontCallees* ExchangeFrontCallees(const FrontCallees* Table) {
    return CurrentTable.exchange(Table != nullptr ? Table : &DriverCallees, std::memory_order_acq_rel);
}
