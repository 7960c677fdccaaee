#include "driver/front/FrontCallees.h"

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/asio/AsioControlDecoder.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/WaveCyclicMiniport.h"

#include <atomic>

namespace {

constexpr FrontCallees DriverCallees = {
    .CreateAdapter = CreateAdapter,
    .CreateTopologyMiniport = CreateTopologyMiniport,
    .CreateWaveCyclicMiniport = CreateWaveCyclicMiniport,
    .DispatchAsioControl = DispatchAsioControl,
};

std::atomic<const FrontCallees*> CurrentTable{&DriverCallees};

}  // namespace

const FrontCallees* CurrentFrontCallees() { return CurrentTable.load(std::memory_order_acquire); }

const FrontCallees* ExchangeFrontCallees(const FrontCallees* Table) {
    return CurrentTable.exchange(Table != nullptr ? Table : &DriverCallees, std::memory_order_acq_rel);
}
