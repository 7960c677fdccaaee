#include "driver/engine/interfaces/EndpointType.h"

namespace {

// USB terminal types (wTerminalType) the mapping knows.
enum : USHORT {
    UsbTerminalMicrophone = 0x0201,
    UsbTerminalDesktopMicrophone = 0x0202,
    UsbTerminalHeadphones = 0x0302,
    UsbTerminalHandset = 0x0401,
    UsbTerminalHeadset = 0x0402,
    UsbTerminalAnalogConnector = 0x0601,
    UsbTerminalLineConnector = 0x0603,
    UsbTerminalSpdifInterface = 0x0605,
};

// The types both directions map alike; FALSE for a type each direction maps its own way.
bool MapCommonTerminal(USHORT TerminalType, EndpointType* Type) {
    switch (TerminalType) {
    case UsbTerminalHeadphones: *Type = EndpointType::Headphones; return true;
    case UsbTerminalHandset: *Type = EndpointType::HandSet; return true;
    case UsbTerminalHeadset: *Type = EndpointType::HeadSet; return true;
    case UsbTerminalAnalogConnector:
    case UsbTerminalLineConnector: *Type = EndpointType::Line; return true;
    case UsbTerminalSpdifInterface: *Type = EndpointType::Spdif; return true;
    default: return false;
    }
}

}  // namespace

ULONG EndpointTypeOfInputTerminal(USHORT TerminalType) {
    EndpointType type = EndpointType::Line;
    if (TerminalType == UsbTerminalMicrophone) {
        type = EndpointType::Mic;
    } else if (TerminalType == UsbTerminalDesktopMicrophone) {
        type = EndpointType::FrontMic;
    } else {
        MapCommonTerminal(TerminalType, &type);
    }
    return EndpointTypeCode(type);
}

ULONG EndpointTypeOfOutputTerminal(USHORT TerminalType) {
    EndpointType type = EndpointType::Speaker;
    MapCommonTerminal(TerminalType, &type);
    return EndpointTypeCode(type);
}
