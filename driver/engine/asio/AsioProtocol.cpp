// Sample types, format records and the transfer split of the private ASIO protocol.
#include "driver/engine/asio/AsioProtocol.h"

#include <win/ksmedia.h>

namespace {

struct SampleTypeRow {
    ULONG Type;
    USHORT ContainerBits;
    USHORT ValidBits;
};
// Every PCM type the driver accepts, with the format record that carries it.
constexpr SampleTypeRow SampleTypes[] = {
    {AsioSampleTypeInt16Lsb, 16, 16},   {AsioSampleTypeInt24Lsb, 24, 24}, {AsioSampleTypeInt32Lsb, 32, 32},
    {AsioSampleTypeInt32Lsb16, 32, 16}, {25, 32, 18},                     {26, 32, 20},
    {AsioSampleTypeInt32Lsb24, 32, 24},
};

const SampleTypeRow* FindSampleType(ULONG SampleType) {
    for (const SampleTypeRow& row : SampleTypes) {
        if (row.Type == SampleType) return &row;
    }
    return nullptr;
}

USHORT ValidBitsOf(const WAVEFORMATEXTENSIBLE& Record) {
    if (Record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && Record.Format.cbSize >= 22) {
        return Record.Samples.wValidBitsPerSample;
    }
    return Record.Format.wBitsPerSample;
}

}  // namespace

bool AsioIsKnownSampleType(ULONG SampleType) { return FindSampleType(SampleType) != nullptr; }

ULONG AsioPcmBytesPerSample(ULONG SampleType) {
    const SampleTypeRow* row = FindSampleType(SampleType);
    return row != nullptr ? row->ContainerBits / 8u : 0;
}

bool AsioSampleTypeBits(ULONG SampleType, USHORT* ContainerBits, USHORT* ValidBits) {
    const SampleTypeRow* row = FindSampleType(SampleType);
    if (row == nullptr) return false;
    *ContainerBits = row->ContainerBits;
    *ValidBits = row->ValidBits;
    return true;
}

bool AsioIsPcmRecord(const WAVEFORMATEXTENSIBLE& Record) {
    if (Record.Format.wFormatTag == WAVE_FORMAT_PCM) return true;
    return Record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && IsEqualGUID(Record.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
}

bool AsioIsDsdRecord(const WAVEFORMATEXTENSIBLE& Record) {
    return Record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && IsEqualGUID(Record.SubFormat, AsioSubtypeDsd);
}

ULONG AsioSampleTypeOfRecord(const WAVEFORMATEXTENSIBLE& Record) {
    switch (Record.Format.wBitsPerSample) {
    case 16:
        return AsioSampleTypeInt16Lsb;
    case 24:
        return AsioSampleTypeInt24Lsb;
    case 32: {
        const USHORT valid = ValidBitsOf(Record);
        if (valid == 16) return AsioSampleTypeInt32Lsb16;
        if (valid == 24) return AsioSampleTypeInt32Lsb24;
        return AsioSampleTypeInt32Lsb;
    }
    default:
        return 0;
    }
}

bool AsioDsdRecordCarries(const WAVEFORMATEXTENSIBLE& Record, ULONG Rate) {
    const ULONG container = Record.Format.wBitsPerSample;
    if (container == 16) return Record.Format.nSamplesPerSec == Rate / 16;
    // Half the channel count divides the rate: a record of one channel (or none) would divide by
    // zero, and a record without a container names no rate.
    const ULONG pairs = Record.Format.nChannels / 2u;
    if (container == 0 || pairs == 0) return false;
    return Record.Format.nSamplesPerSec == Rate / container / pairs;
}

bool AsioRateSuitsKind(ULONG Rate, FormatKind Kind) {
    return Kind == FormatKind::Dsd ? Rate >= AsioDsdMinimumRate : Rate < AsioDsdMinimumRate;
}

AsioTransferSplit AsioSplitTransfers(ULONG FramesPerMs, ULONG FramesPerBuffer) {
    ULONG buffer = FramesPerMs != 0 ? FramesPerBuffer / FramesPerMs : 0;  // milliseconds per host buffer
    if (buffer < 2) buffer = 2;
    AsioTransferSplit split{};
    if (buffer >= 20) {
        split.TransferMs = 5;
        split.Chain = buffer / 5 < 5 ? buffer / 5 : 5;
    } else if (buffer >= 16) {
        split.TransferMs = 4;
        split.Chain = buffer / 4;
    } else if (buffer >= 8) {
        split.TransferMs = 2;
        split.Chain = buffer / 2;
    } else {
        split.TransferMs = 1;
        split.Chain = buffer;
    }
    split.InFlight = split.Chain > 2 ? split.Chain - 1 : split.Chain;
    return split;
}
