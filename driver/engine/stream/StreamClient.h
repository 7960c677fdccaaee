// StreamClient: the record of one consumer of a USB stream (the wave-cyclic stream, the ASIO path).
// The stream creates and fills it; the engine keeps it in its client lists, ordered by kind.
#pragma once

#include <win/kernel.h>
#include <win/mmreg.h>

#include <cstddef>

// A higher kind has priority over a lower one.
enum class ClientKind : ULONG {
    FirstAttached = 1,   // attaches a processing stage to the engine's first attached list
    SecondAttached = 2,  // attaches one to the second attached list
    WaveStream = 3,
    Asio = 5,
};

struct StreamClient {
    ULONG Kind;                    // ClientKind; the engine orders its lists by this field
    PVOID Registration;            // the ExRegisterCallback handle: the client's identifier
    ULONG TransferMilliseconds;    // audio per isochronous transfer
    ULONG TransferCount;           // transfers in flight
    WAVEFORMATEXTENSIBLE Format;   // the client's format
    ULONG Direction;               // the stream's direction at registration: 0 render, 1 capture
    UCHAR Started;                 // 1 between the client's start and stop
};
static_assert(offsetof(StreamClient, Kind) == 0 && offsetof(StreamClient, Registration) == 8 &&
              offsetof(StreamClient, TransferMilliseconds) == 16 && offsetof(StreamClient, Format) == 24 &&
              offsetof(StreamClient, Direction) == 64 && offsetof(StreamClient, Started) == 68);
static_assert(sizeof(StreamClient) == 72);
