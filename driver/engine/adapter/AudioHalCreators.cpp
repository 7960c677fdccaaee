// The creator table and the model identifiers that pick a HAL for a protocol-0 device. The UAC 1.0
// and UAC 2.0 HALs' creators live with their classes, the device models' with theirs.
#include "driver/engine/adapter/AudioHalCreators.h"

#include "driver/engine/models/R7T3Models.h"
#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/W4M3AudioHal.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac2/Uac2AudioHal.h"

namespace {

constexpr AudioHalCreatorTable DriverCreators = {{
    CreateUac1AudioHal,
    CreateUac2AudioHal,
    CreateR7T5AudioHal,
    CreateR7T3AudioHal,
    CreateR7U5AudioHal,
    CreateW4M3AudioHal,
}};

// The table in force, kept as an untyped pointer for the interlocked exchange; never written
// through.
PVOID volatile CreatorsInForce = const_cast<AudioHalCreatorTable*>(&DriverCreators);

// Model identifiers in the order they are compared: the first UTF-16 units of the string.
struct ModelIdentifier {
    const WCHAR* Units;
    ULONG Count;
    AudioHalKind Kind;
};

constexpr WCHAR R7T5Units[] = {0x000B, 0x0005, 0x0050};
constexpr ModelIdentifier ModelIdentifiers[] = {
    {R7T5Units, 3, AudioHalKind::R7T5},
    {KV_WIDE("R7T3"), 4, AudioHalKind::R7T3},
    {KV_WIDE("R7U5"), 4, AudioHalKind::R7U5},
    {KV_WIDE("KLQ866"), 6, AudioHalKind::W4M3},
};

constexpr const char* KindNames[] = {"Uac1AudioHal", "Uac2AudioHal", "R7T5AudioHal",
                                     "R7T3AudioHal", "R7U5AudioHal", "W4M3AudioHal"};
static_assert(sizeof(KindNames) / sizeof(KindNames[0]) == static_cast<ULONG>(AudioHalKind::Count));

}  // namespace

const char* AudioHalKindName(AudioHalKind Kind) {
    const ULONG index = static_cast<ULONG>(Kind);
    return index < static_cast<ULONG>(AudioHalKind::Count) ? KindNames[index] : "?";
}

NTSTATUS CreateR7T5AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return CreateR7T5AudioHalObject(Unknown, UnknownOuter, VendorId, ProductId);
}
NTSTATUS CreateR7T3AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return CreateR7T3AudioHalObject(Unknown, UnknownOuter, VendorId, ProductId);
}
NTSTATUS CreateR7U5AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return CreateR7U5AudioHalObject(Unknown, UnknownOuter, VendorId, ProductId);
}
NTSTATUS CreateW4M3AudioHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return CreateW4M3AudioHalObject(Unknown, UnknownOuter, VendorId, ProductId);
}

const AudioHalCreatorTable* CurrentAudioHalCreators() {
    return static_cast<const AudioHalCreatorTable*>(ReadPointerAcquire(&CreatorsInForce));
}

const AudioHalCreatorTable* ExchangeAudioHalCreators(const AudioHalCreatorTable* Table) {
    PVOID wanted = const_cast<AudioHalCreatorTable*>(Table != nullptr ? Table : &DriverCreators);
    return static_cast<const AudioHalCreatorTable*>(InterlockedExchangePointer(&CreatorsInForce, wanted));
}

AudioHalKind AudioHalKindFromModelIdentifier(const UCHAR* Descriptor, ULONG Received) {
    if (Descriptor == nullptr || Received < 2) return AudioHalKind::Uac1;
    // The text is what both bLength and the bytes that arrived cover.
    const ULONG bytes = Descriptor[0] < Received ? Descriptor[0] : Received;
    const ULONG units = bytes >= 2 ? (bytes - 2) / sizeof(WCHAR) : 0;
    const UCHAR* text = Descriptor + 2;
    for (const ModelIdentifier& model : ModelIdentifiers) {
        if (model.Count > units) continue;
        ULONG i = 0;
        for (; i < model.Count; ++i) {
            // Byte-wise: the descriptor gives no alignment.
            const WCHAR unit = static_cast<WCHAR>(text[2 * i] | (text[2 * i + 1] << 8));
            if (unit != model.Units[i]) break;
        }
        if (i == model.Count) return model.Kind;
    }
    return AudioHalKind::Uac1;
}
