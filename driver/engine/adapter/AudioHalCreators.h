// The HAL classes the adapter chooses from, their creators, and the choice by the AudioControl
// interface's protocol and the device's model identifier string.
//
// Each creator allocates its HAL with the adapter as outer unknown and hands out the HAL's inner
// unknown with one reference. The table of creators can be exchanged (tests record the choice
// with creators of their own).
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>
#include <win/usb.h>

enum class AudioHalKind : ULONG {
    Uac1 = 0,  // UAC 1.0, and every protocol-0 device without a known model identifier
    Uac2,      // AudioControl protocol 0x20
    R7T5,
    R7T3,
    R7U5,
    W4M3,
    Count,
};

typedef NTSTATUS (*AudioHalCreator)(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

struct AudioHalCreatorTable {
    AudioHalCreator Creators[static_cast<ULONG>(AudioHalKind::Count)];  // indexed by AudioHalKind
};

// The class name of a HAL kind, for diagnostics ("Uac2AudioHal"); "?" outside the kinds.
const char* AudioHalKindName(AudioHalKind Kind);

// The creators of the HAL classes (CreateUac1AudioHal: Uac1AudioHal.cpp, CreateUac2AudioHal:
// Uac2AudioHal.cpp); a HAL class not built yet
// answers STATUS_NOT_IMPLEMENTED.
NTSTATUS CreateUac1AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateUac2AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateR7T5AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateR7T3AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateR7U5AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateW4M3AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

// The table CreateAudioHal uses. Exchange answers the table in force before; null restores the
// driver's own. Only while no adapter is starting.
const AudioHalCreatorTable* CurrentAudioHalCreators();
const AudioHalCreatorTable* ExchangeAudioHalCreators(const AudioHalCreatorTable* Table);

// String descriptor indexes of the model identifier, read in this order (protocol 0 only).
constexpr UCHAR ModelIdentifierStringIndex = 0x50;
constexpr UCHAR ModelIdentifierStringFallbackIndex = 0x32;
// Bytes asked for when reading the model identifier.
constexpr ULONG ModelIdentifierRequestBytes = 104;

// The HAL for a protocol-0 device from its model identifier string descriptor, of which Received
// bytes arrived: the UTF-16 units after the two header bytes are compared with each model's
// identifier over the identifier's length; units beyond bLength or beyond what arrived never
// match. Anything else is Uac1.
AudioHalKind AudioHalKindFromModelIdentifier(const UCHAR* Descriptor, ULONG Received);
