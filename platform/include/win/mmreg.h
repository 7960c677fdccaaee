// Wave format records: the 18-byte WAVEFORMATEX head and the 40-byte extensible record whose
// sub-format GUID carries the format tag in its first word.
#pragma once

#include <win/ntdef.h>

#include <cstddef>

#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;   // frames per second
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;       // bytes per frame
    WORD wBitsPerSample;    // container bits of one sample
    WORD cbSize;            // bytes that follow this head
} WAVEFORMATEX, *PWAVEFORMATEX;
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18 && offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 &&
              offsetof(WAVEFORMATEX, wBitsPerSample) == 14 && offsetof(WAVEFORMATEX, cbSize) == 16);

typedef struct {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 &&
              offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
