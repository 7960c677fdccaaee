// Endpoint types: the use of a stream or jack (speaker, headphones, line, ...) as an index that
// names engines and pins and keys the stored control values; and the mapping of the USB terminal
// types of input and output terminals onto it.
#pragma once

#include <win/kernel.h>

enum class EndpointType : ULONG {
    Stream = 0,
    Speaker = 1,       // "SPK"
    Headphones = 2,    // "HP"
    Spdif = 3,
    Hdmi = 4,
    DisplayPort = 5,
    Line = 6,
    Mic = 7,
    Aux = 8,
    CD = 9,
    Video = 10,
    FrontMic = 11,     // "FMic"
    Telephone = 12,
    HandSet = 13,
    HeadSet = 14,
    Speakerphone = 15,
    StereoMix = 16,
    FrontHeadphones = 17,  // "FHP"
    Record = 18,           // "Rec"
};

constexpr ULONG EndpointTypeCode(EndpointType Type) { return static_cast<ULONG>(Type); }

// Endpoint type of an input terminal's wTerminalType; unknown types count as line inputs.
ULONG EndpointTypeOfInputTerminal(USHORT TerminalType);
// Endpoint type of an output terminal's wTerminalType; unknown types count as speakers.
ULONG EndpointTypeOfOutputTerminal(USHORT TerminalType);
