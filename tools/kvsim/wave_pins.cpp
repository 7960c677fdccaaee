#include "wave_pins.h"

#include "text.h"

#include <win/ksmedia.h>

#include <cstring>
#include <memory>

namespace kvsim {

std::vector<std::string> PinOffers(sim::hosts::KsFilterClient& filter) {
    std::vector<std::string> lines;
    std::vector<std::vector<UCHAR>> ranges;
    if (!NT_SUCCESS(filter.PinDataRanges(0, &ranges))) return lines;
    for (const std::vector<UCHAR>& bytes : ranges) {
        KSDATARANGE_AUDIO range = {};
        if (bytes.size() < sizeof(range)) continue;
        std::memcpy(&range, bytes.data(), sizeof(range));
        const bool pcm = IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        const bool isFloat = IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
        lines.push_back(std::string(pcm ? "PCM " : isFloat ? "float " : "other ") +
                        std::to_string(range.MinimumSampleFrequency) + "-" +
                        std::to_string(range.MaximumSampleFrequency) + " Hz, " +
                        std::to_string(range.MinimumBitsPerSample) + "-" + std::to_string(range.MaximumBitsPerSample) +
                        " bits, up to " + std::to_string(range.MaximumChannels) + " channels");
    }
    return lines;
}

std::vector<std::pair<std::string, std::vector<std::string>>> WavePinOffers() {
    std::vector<std::pair<std::string, std::vector<std::string>>> filters;
    for (const GUID* category : {&KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE}) {
        for (const sim::hosts::FilterInterface& f : sim::hosts::FindFilters(*category)) {
            std::unique_ptr<sim::hosts::KsFilterClient> filter;
            std::vector<std::string> offers;
            const NTSTATUS status = sim::hosts::KsFilterClient::Open(f.symbolicLink, &filter);
            if (NT_SUCCESS(status)) {
                offers = PinOffers(*filter);
            } else {
                offers.push_back("cannot open: " + StatusText(status));
            }
            filters.emplace_back(Utf8(f.referenceString), std::move(offers));
        }
    }
    return filters;
}

}  // namespace kvsim
