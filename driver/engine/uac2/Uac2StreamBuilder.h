// The walk of a UAC 2.0 device's AudioStreaming interfaces: every interface whose settings link to
// a terminal becomes one stream (Uac2PlaybackStream for an input terminal, Uac2CaptureStream for an
// output terminal), with one format record per setting, format and rate of the terminal's clock
// source, and the path of controls its audio passes.
//
// The HAL supplies what only it knows through Uac2StreamSite: its lists, what a terminal id stands
// for, and the path adjustments it makes (software mute, capture selector). The controls that
// listen to a terminal-type control are the HAL's to register after the walk.
#pragma once

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/uac2/Uac2Streams.h"

#include <win/usb.h>

class Uac2StreamSite {
public:
    // The HAL whose node and engine lists the streams join.
    virtual AudioHal& StreamHal() = 0;
    // What unit TerminalLink is to a stream: StreamDirectionRender for an input terminal,
    // StreamDirectionCapture for an output terminal, the terminal's control id and the sample-rate
    // control id of the clock source that drives it. STATUS_INVALID_PARAMETER for any other unit;
    // the unit list's failure when there is none.
    virtual NTSTATUS ResolveTerminal(ULONG TerminalLink, ULONG* Direction, ULONG* TerminalControlId,
                                     ULONG* ClockControlId) = 0;
    // Runs after a stream's path is complete, before its work buffers are allocated.
    virtual NTSTATUS AdjustStreamPath(StreamEngine* Stream) = 0;

protected:
    ~Uac2StreamSite() = default;
};

// FirstStreaming: an AudioStreaming interface descriptor (class 1, subclass 2, protocol 0x20) inside
// Configuration, whose wTotalLength bounds the walk. Each interface number is walked once.
// STATUS_INVALID_PARAMETER for a descriptor that is too short for the fields read, a FORMAT_TYPE
// without an AS_GENERAL before it or of a type other than I and III, or a link to no terminal;
// STATUS_UNSUCCESSFUL for a descriptor that overruns the configuration. Streams created before a
// failure stay in the HAL's list.
NTSTATUS Uac2BuildStreams(Uac2StreamSite& Site, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                          PUSB_INTERFACE_DESCRIPTOR FirstStreaming);

// One FORMAT_TYPE of a setting: the interface and setting it belongs to, the latest AS_GENERAL's
// bFormatType and bmFormats, and whether the interface has the valid-alternate-settings control.
struct Uac2SettingFormats {
    ULONG Interface;
    UCHAR AlternateSetting;
    UCHAR FormatType;
    ULONG Formats;
    BOOLEAN AskValidity;
};

// The format records of one FORMAT_TYPE: Template at every rate of the clock whose sample-rate
// control is ClockControlId that the setting's endpoint can carry. Type I PCM (bmFormats bit 0) as
// PCM (with the validity control: only at rates where the setting is valid); type I raw data (bits
// 15 or 31 without bit 0) as DSD at the rates the clock takes and at which the setting is valid;
// type III as IEC 61937 Dolby Digital (bit 0) and WMA Pro (bit 12).
NTSTATUS Uac2AddAltSettingFormats(AudioHal& Hal, UsbAudioStream* Stream, ULONG ClockControlId,
                                  const Uac2SettingFormats& Setting, WAVEFORMATEXTENSIBLE Template);
