#include "driver/front/AdapterExtension.h"

namespace {

constexpr PCWSTR EndpointTypeNames[EndpointTypeCount] = {
    u"Stream", u"SPK",  u"HP",        u"SPDIF",   u"HDMI",    u"DisplayPort",  u"Line",      u"Mic", u"Aux", u"CD",
    u"Video",  u"FMic", u"Telephone", u"HandSet", u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP", u"Rec",
};

}  // namespace

PCWSTR EndpointTypeName(ULONG EndpointType) {
    return EndpointType < EndpointTypeCount ? EndpointTypeNames[EndpointType] : nullptr;
}

NTSTATUS FormatEngineName(ULONG Direction, ULONG EndpointType, ULONG Number, PWSTR Name) {
    PAGED_CODE();
    PCWSTR typeName = EndpointTypeName(EndpointType);
    if (typeName == nullptr || Name == nullptr) return STATUS_INVALID_PARAMETER;
    PCWSTR format = Direction == StreamDirectionCapture ? u"%sIn%02d" : u"%sOut%02d";
    return RtlStringCchPrintfW(Name, EngineNameChars, format, typeName, static_cast<int>(Number));
}
