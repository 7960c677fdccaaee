// The R7T5 configuration rewrite: before the walks, the adapter's copy of the configuration
// descriptor loses the terminals, units and playback alternate settings the switches disable, and
// the playback mixer, the record selector and the capture terminal's source are rebuilt to match
// what remains. The device's selected configuration is not touched.
//
// The rewrite knows the device's configuration by position (R7T5ConfigPieces); a configuration
// that does not have that layout (shorter, or a piece of another length, type or subtype) is
// refused and left as it is.
#pragma once

#include "driver/engine/models/R7T5Switches.h"

#include <win/kernel.h>
#include <win/usb.h>

// "R7T5": the work buffer (paged).
constexpr ULONG R7T5RewriteTag = '5T7R';
// Bytes of the device's own configuration the rewrite reads (the audio function; a HID interface
// may follow it).
constexpr ULONG R7T5ConfigBytes = 509;
// Bytes of the work buffer.
constexpr ULONG R7T5RewriteBufferBytes = 4096;
// Offset of the AudioControl header's wTotalLength in the configuration.
constexpr ULONG R7T5HeaderTotalOffset = 23;
// The class-specific AudioControl part starts with the header.
constexpr ULONG R7T5ClassSpecificStart = 18;

// The pieces of the device's configuration, in their order.
enum class R7T5Piece : UCHAR {
    Configuration,
    ControlInterface,
    ControlHeader,
    PlaybackInput,       // input terminal 1, the USB playback stream
    MicInput,
    MicRecordUnit,       // feature unit 8
    MicMonitorUnit,      // feature unit 9
    PlaybackMixer,
    PlaybackFeature,     // feature unit 13
    PlaybackOutput,      // output terminal 3
    StereoMixMixer,
    CaptureOutput,       // output terminal of the USB capture stream
    RecordSelector,
    LineInput,
    LineRecordUnit,      // feature unit 15
    LineMonitorUnit,     // feature unit 11
    SpdifInput,
    StereoMixRecordUnit, // feature unit 2
    SpdifRecordUnit,     // feature unit 16
    PlaybackInterface,   // alternate setting 0
    Playback8Ch,
    Playback2Ch,
    Playback4Ch,
    Playback6Ch,
    PlaybackFurther,     // one sampling frequency, rewritten to 96 kHz
    CaptureInterface,    // alternate settings 0 and 1
    Count,
};

struct R7T5PieceLayout {
    USHORT Offset;
    UCHAR Length;
    UCHAR DescriptorType;  // of the piece's first descriptor
    UCHAR Subtype;         // of a class-specific descriptor; 0: not checked
    bool Single;           // one descriptor of exactly Length bytes; else a run of descriptors
};
// The layout, indexed by R7T5Piece: descriptor type 2 configuration, 4 interface, 0x24
// class-specific interface.
// clang-format off
inline constexpr R7T5PieceLayout R7T5ConfigPieces[static_cast<ULONG>(R7T5Piece::Count)] = {
    {.Offset = 0,   .Length = 9,  .DescriptorType = 2, .Subtype = 0, .Single = true},
    {.Offset = 9,   .Length = 9,  .DescriptorType = 4, .Subtype = 0, .Single = true},
    {.Offset = 18,  .Length = 10, .DescriptorType = 0x24, .Subtype = 1, .Single = true},
    {.Offset = 28,  .Length = 12, .DescriptorType = 0x24, .Subtype = 2, .Single = true},
    {.Offset = 40,  .Length = 12, .DescriptorType = 0x24, .Subtype = 2, .Single = true},
    {.Offset = 52,  .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 62,  .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 72,  .Length = 25, .DescriptorType = 0x24, .Subtype = 4, .Single = true},
    {.Offset = 97,  .Length = 16, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 113, .Length = 9,  .DescriptorType = 0x24, .Subtype = 3, .Single = true},
    {.Offset = 122, .Length = 13, .DescriptorType = 0x24, .Subtype = 4, .Single = true},
    {.Offset = 135, .Length = 9,  .DescriptorType = 0x24, .Subtype = 3, .Single = true},
    {.Offset = 144, .Length = 10, .DescriptorType = 0x24, .Subtype = 5, .Single = true},
    {.Offset = 154, .Length = 12, .DescriptorType = 0x24, .Subtype = 2, .Single = true},
    {.Offset = 166, .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 176, .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 186, .Length = 12, .DescriptorType = 0x24, .Subtype = 2, .Single = true},
    {.Offset = 198, .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 208, .Length = 10, .DescriptorType = 0x24, .Subtype = 6, .Single = true},
    {.Offset = 218, .Length = 9,  .DescriptorType = 4, .Subtype = 0, .Single = true},
    {.Offset = 227, .Length = 46, .DescriptorType = 4, .Subtype = 0, .Single = false},
    {.Offset = 273, .Length = 46, .DescriptorType = 4, .Subtype = 0, .Single = false},
    {.Offset = 319, .Length = 46, .DescriptorType = 4, .Subtype = 0, .Single = false},
    {.Offset = 365, .Length = 46, .DescriptorType = 4, .Subtype = 0, .Single = false},
    {.Offset = 411, .Length = 43, .DescriptorType = 4, .Subtype = 0, .Single = false},
    {.Offset = 454, .Length = 55, .DescriptorType = 4, .Subtype = 0, .Single = false},
};
// clang-format on

// The pieces follow each other without gaps and end at the audio function's end.
constexpr bool R7T5PiecesFollowEachOther() {
    ULONG end = 0;
    for (const R7T5PieceLayout& p : R7T5ConfigPieces) {
        if (p.Offset != end) return false;
        end = p.Offset + p.Length;
    }
    return end == R7T5ConfigBytes;
}
static_assert(R7T5PiecesFollowEachOther());

// Rewrites Configuration (the adapter's copy, of at least wTotalLength bytes) for Switches, after
// setting the switches that others imply (they stay set). STATUS_UNSUCCESSFUL, with the
// descriptor untouched, without the work buffer, when 6 and 8 channels are both disabled, or when
// the configuration does not have the device's layout.
NTSTATUS RebuildConfigDescriptor(R7T5Switches* Switches, PUSB_CONFIGURATION_DESCRIPTOR Configuration);

// The switches that others imply, set in place.
void ApplyImpliedSwitches(R7T5Switches* Switches);
