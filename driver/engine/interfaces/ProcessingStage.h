// ProcessingStage: an object that touches a stream's data on the engine's data path (software mute
// and gain controls, model policies, effect controls). The engine gives it the stream's format when
// the stream starts running, calls Process per block of at most ProcessingStageMaxFrames frames
// and Reset when the stream stops.
#pragma once

#include <win/kernel.h>
#include <win/mmreg.h>
#include <win/unknown.h>

// {1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}
DEFINE_GUID(IID_ProcessingStage, 0x1EDBBC0C, 0xAA74, 0x4046, 0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF);

// Frames in one block of the data path.
constexpr ULONG ProcessingStageMaxFrames = 512;
// Float planes the data path hands to a stage for PCM formats (one per channel).
constexpr ULONG ProcessingStageMaxPlanes = 8;

// The tag a stage goes by: wFormatTag, or the first word of the sub-format for an extensible record
// (1 PCM, 3 IEEE float).
inline USHORT ProcessingStageFormatTag(const WAVEFORMATEXTENSIBLE& Format) {
    if (Format.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return Format.Format.wFormatTag;
    return static_cast<USHORT>(Format.SubFormat.Data1 & 0xFFFF);
}

class ProcessingStage : public IUnknown {
public:
    // Operations in table order.

    // Never called by the engine.
    STDMETHOD(Reserved1)() PURE;
    STDMETHOD(Reserved2)() PURE;
    // The stream's format; called when the stream starts running.
    STDMETHOD(SetFormat)(const WAVEFORMATEXTENSIBLE* Format) PURE;
    // Never called by the engine.
    STDMETHOD(Reserved3)() PURE;
    // One block of Frames frames in Format. Data: for PCM formats an array of
    // ProcessingStageMaxPlanes float plane pointers (one per channel, ProcessingStageMaxFrames
    // floats each); for any other format the block's raw interleaved bytes.
    STDMETHOD(Process)(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) PURE;
    // Called when the stream stops (Format may then be null and Frames 0). Objects that clients
    // attach to the second attached list are driven through this operation with the arguments of
    // Process.
    STDMETHOD(Reset)(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) PURE;

protected:
    ~ProcessingStage() = default;
};
typedef ProcessingStage* PPROCESSINGSTAGE;
