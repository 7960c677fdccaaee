// The R7T5 model's render stream: a UAC 1.0 render stream that tells the device its rate and
// whether the data is PCM (register 0) at every Open, and whose formats follow the endpoint type
// its engine is named for: speaker and headphone play PCM up to 48 kHz (headphone also 96 kHz on
// setting 5), S/PDIF adds AC-3 pass-through at 44.1, 48 and 96 kHz.
#pragma once

#include "driver/engine/uac1/Uac1Streams.h"

class R7T5AudioHal;

// Register 0 fields the stream writes.
constexpr USHORT R7T5RateMask = 0x7000;
constexpr USHORT R7T5Rate44100 = 0x0000;
constexpr USHORT R7T5Rate48000 = 0x2000;
constexpr USHORT R7T5Rate96000 = 0x6000;
constexpr USHORT R7T5NonPcmMask = 0x0002;
// The playback setting that carries the 96 kHz formats, and the one of the 2-channel AC-3 formats.
constexpr UCHAR R7T5HighRateSetting = 5;
constexpr UCHAR R7T5StereoSetting = 2;

class R7T5PlaybackStream : public Uac1PlaybackStream {
public:
    R7T5PlaybackStream(PUNKNOWN UnknownOuter, ULONG Interface, ULONG TerminalControlId);

    // The stream's worker; on success the stream keeps Registers (no reference: the HAL owns the
    // stream) for the writes of Open.
    NTSTATUS StartWorker(ULONG Direction, PUNKNOWN Adapter, R7T5AudioHal* Registers);

    // The render Open, then register 0: the rate field (44.1, 48 or 96 kHz; other rates leave it)
    // and the non-PCM bit. The writes' results do not decide the Open.
    NTSTATUS Open(StreamClient* Client, PULONG BusFrame) override;

    // The engine's name, then the formats of the endpoint type it now has (speaker, headphone,
    // S/PDIF; other types keep theirs).
    NTSTATUS SetName(PCWSTR Name) override;

private:
    // Drops every AC-3 and every 96 kHz PCM record from the format lists and the settings.
    void RemoveTypeFormats();
    // Adds a 2-channel 16-bit record of Tag at Rate on Setting.
    NTSTATUS AddStereoFormat(USHORT Tag, ULONG Rate, UCHAR Setting);

    R7T5AudioHal* m_pRegisters;
};
