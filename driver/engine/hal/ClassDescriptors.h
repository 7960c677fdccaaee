// Bounds for the USB descriptors the parsers read from the device.
//
// DescriptorIterator is the only code that advances over raw descriptor bytes: it hands out whole
// descriptors and stops on a bLength below 2 or on one that runs past the end.
//
// The rule table has one row per class-specific audio descriptor a parser reads: audio class
// release, interface subclass, subtype, the bytes needed before any count is read and, for
// descriptors whose size depends on counts they carry, a function that grows the needed length
// from those counts. A parser asks the table before it reads a field; a subtype without a row is
// refused.
//
// UnitIdSet is the visited set of walks over one-byte unit ids.
#pragma once

#include <win/kernel.h>

#include <span>

// bDescriptorType of the class-specific interface descriptors.
constexpr UCHAR AudioClassInterfaceType = 0x24;
// Audio interface subclasses.
constexpr UCHAR AudioControlSubclassCode = 1;
constexpr UCHAR AudioStreamingSubclassCode = 2;
// Audio class releases as the rule table keys them.
constexpr UCHAR AudioClassRelease1 = 1;
constexpr UCHAR AudioClassRelease2 = 2;

class DescriptorIterator {
public:
    // Length: the bytes from Begin that belong to the run (bounded by the caller's buffer).
    DescriptorIterator(PUCHAR Begin, ULONG Length) : m_Position(Begin), m_Remaining(Begin != nullptr ? Length : 0) {}

    // The next whole descriptor, or null when the run ends. After a null, Malformed tells whether
    // the run ended cleanly (all bytes used) or on a descriptor that cannot be walked; the
    // iterator then stays stopped.
    PUCHAR Next();
    bool Malformed() const { return m_Malformed; }
    // Bytes not yet handed out, from the current position.
    ULONG Remaining() const { return m_Remaining; }

private:
    PUCHAR m_Position;
    ULONG m_Remaining;
    bool m_Malformed = false;
};

struct ClassDescriptorRule {
    UCHAR Release;        // audio class release: 1 or 2
    UCHAR Subclass;       // AudioControl or AudioStreaming
    UCHAR Subtype;        // bDescriptorSubtype
    UCHAR MinimumLength;  // bytes needed before any count is read
    // The bytes needed given the first Known bytes, which are present; reads nothing at or past
    // Known. Called again with each larger answer until the answer stops growing. Null: the
    // minimum is the whole requirement.
    ULONG (*Grow)(const UCHAR* Descriptor, ULONG Known);
};

std::span<const ClassDescriptorRule> ClassDescriptorRules();
// The row for a subtype; null when the table has none (the descriptor is refused).
const ClassDescriptorRule* FindClassDescriptorRule(UCHAR Release, UCHAR Subclass, UCHAR Subtype);
// TRUE when a descriptor of Rule's subtype holds, within its bLength, every field the rule
// names. Descriptor must hold bLength bytes (the iterator guarantees that).
bool ClassDescriptorFits(const ClassDescriptorRule& Rule, const UCHAR* Descriptor);

// 256 bits: one per one-byte unit id.
class UnitIdSet {
public:
    // TRUE when Id was not in the set (it is now); ids above 255 are never taken.
    bool Insert(ULONG Id) {
        if (Id > 255) return false;
        const ULONG bit = 1u << (Id % 32);
        if ((m_Bits[Id / 32] & bit) != 0) return false;
        m_Bits[Id / 32] |= bit;
        return true;
    }
    bool Contains(ULONG Id) const { return Id <= 255 && (m_Bits[Id / 32] & (1u << (Id % 32))) != 0; }

private:
    ULONG m_Bits[8] = {};
};
