// What the wave filters' streaming pins offer, as a client reads it from their data ranges.
#pragma once

#include <sim/audio_stack.h>

#include <string>
#include <utility>
#include <vector>

namespace kvsim {

// One line per data range of the streaming pin (pin 0): sub-format, rates, bits, channels.
std::vector<std::string> PinOffers(sim::hosts::KsFilterClient& filter);
// Every enabled render and capture wave filter with its pin's offers: (filter name, offers).
std::vector<std::pair<std::string, std::vector<std::string>>> WavePinOffers();

}  // namespace kvsim
