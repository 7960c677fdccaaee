// Text pictures of what a HAL's walks built, for golden tests: the units (kinds, sources) with
// their controls (ids, which name persisted values, kinds, sources), every engine with its type,
// path and formats, and the values the start stored under the device's Settings key.
#pragma once

#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/engine/hal/UnitNode.h"

#include <sim/registry.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace hal_describe {

inline std::string SourcesOf(AudioNode* node) {
    std::vector<ULONG> ids(node->GetSourceCount());
    ULONG count = static_cast<ULONG>(ids.size());
    if (!ids.empty() && !NT_SUCCESS(node->GetSources(&count, ids.data()))) count = 0;
    std::string text;
    for (ULONG i = 0; i < count; ++i) text += (i == 0 ? " <- " : ",") + std::to_string(ids[i]);
    return text;
}

// Units in id order with their controls in list order (input control first).
template <class Hal>
std::string DescribeUnits(Hal* hal) {
    std::string text;
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit))) continue;
        std::ostringstream line;
        line << "unit " << unit->GetId() << " kind " << unit->GetNodeKind() << SourcesOf(unit) << ":";
        ULONG count = 0;
        unit->GetControlCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
            line << " [" << control->GetId() << " kind " << control->GetNodeKind() << SourcesOf(control) << "]";
        }
        text += line.str() + "\n";
    }
    return text;
}

// Every engine: direction, endpoint type, what Extra adds, the path's control ids, then its formats
// as the engine offers them with the alternate setting that carries each.
inline std::string DescribeEngines(AdapterCommon* common,
                                   const std::function<std::string(StreamEngine*)>& Extra = {}) {
    std::ostringstream out;
    for (ULONG e = 0; e < common->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(common->GetStreamEngine(e, &engine))) continue;
        auto* stream = static_cast<UsbAudioStream*>(engine);
        const bool render = engine->GetDirection() == StreamDirectionRender;
        out << "engine " << e << (render ? " render" : " capture") << " type " << engine->GetEndpointType()
            << (Extra ? Extra(engine) : std::string()) << " path";
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            if (NT_SUCCESS(engine->GetNode(i, &node))) out << ' ' << node->GetId();
        }
        out << "\n";
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            UCHAR alt = 0;
            if (!NT_SUCCESS(engine->GetFormat(f, &format)) || !NT_SUCCESS(stream->FindAltSetting(&format.Format, &alt))) {
                continue;
            }
            out << "  alt " << int(alt) << " " << format.Format.nSamplesPerSec << " " << format.Format.wBitsPerSample
                << "/" << format.Samples.wValidBitsPerSample << " align " << format.Format.nBlockAlign << " mask 0x"
                << std::hex << format.dwChannelMask << " sub 0x" << format.SubFormat.Data1 << std::dec << "\n";
        }
    }
    return out.str();
}

// Value names under Key, sorted.
inline std::vector<std::string> ValueNames(const std::u16string& Key) {
    std::vector<std::string> narrow;
    for (const std::u16string& n : sim::registry::ValueNames(Key)) narrow.emplace_back(n.begin(), n.end());
    std::sort(narrow.begin(), narrow.end());
    return narrow;
}

}  // namespace hal_describe
