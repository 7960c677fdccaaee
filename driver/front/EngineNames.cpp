#include "driver/front/AdapterExtension.h"

namespace {

constexpr PCWSTR EndpointTypeNames[EndpointTypeCount] = {
    KV_WIDE("Stream"), KV_WIDE("SPK"), KV_WIDE("HP"), KV_WIDE("SPDIF"), KV_WIDE("HDMI"), KV_WIDE("DisplayPort"),
    KV_WIDE("Line"), KV_WIDE("Mic"), KV_WIDE("Aux"), KV_WIDE("CD"), KV_WIDE("Video"), KV_WIDE("FMic"),
    KV_WIDE("Telephone"), KV_WIDE("HandSet"), KV_WIDE("HeadSet"), KV_WIDE("Speakerphone"), KV_WIDE("StereoMix"),
    KV_WIDE("FHP"), KV_WIDE("Rec"),
};

}  // namespace

PCWSTR EndpointTypeName(ULONG EndpointType) {
    return EndpointType < EndpointTypeCount ? EndpointTypeNames[EndpointType] : nullptr;
}

NTSTATUS FormatEngineName(ULONG Direction, ULONG EndpointType, ULONG Number, PWSTR Name) {
    PAGED_CODE();
    PCWSTR typeName = EndpointTypeName(EndpointType);
    if (typeName == nullptr || Name == nullptr) return STATUS_INVALID_PARAMETER;
    PCWSTR format = Direction == StreamDirectionCapture ? KV_WIDE("%sIn%02d") : KV_WIDE("%sOut%02d");
    return RtlStringCchPrintfW(Name, EngineNameChars, format, typeName, static_cast<int>(Number));
}
