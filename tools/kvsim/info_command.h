// `kvsim info`: one device through the driver's life on a fresh simulated machine, reported.
#pragma once

#include "options.h"

#include <sim/io.h>
#include <sim/machine.h>
#include <sim/pool.h>
#include <sim/usb_device.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace kvsim {

// What the kernel holds that a driver may leave behind, to compare before and after.
struct Balances {
    size_t irps = 0;
    size_t threads = 0;
    int64_t timerRequests = 0;
    size_t callbacks = 0;

    static Balances Now() {
        return {sim::io::LiveIrpCount(), sim::machine::SystemThreadsRunning(), sim::machine::TimerResolutionRequests(),
                sim::machine::CallbackRegistrations()};
    }
};

// The device the options name (catalog or descriptor file), with a label for the report; null
// after printing why not.
std::unique_ptr<sim::usb::Device> MakeDevice(const Options& options, std::ostream& out, std::string* label);
// The verifier's view after the removal; true when nothing is left.
bool ReportVerifier(std::ostream& out, const sim::pool::Snapshot& pool, const Balances& before);

// driverPath: the KV-380D module. Answers the process exit status.
int RunInfo(const Options& options, const std::string& driverPath, std::ostream& out);

}  // namespace kvsim
