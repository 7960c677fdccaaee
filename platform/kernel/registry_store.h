// The machine's registry: one hierarchical store of keys and typed values, shared by the kernel's
// Zw services, the device and driver keys of the I/O manager and port-class, and user mode's Reg*.
// Names of keys and values compare without regard to case and keep the case they were created
// with. Subkeys enumerate in the order of their upper-cased names, values in creation order.
#pragma once

#include <win/kernel.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

// Longest key name component and value name, in characters.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct ValueEntry {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

struct KeyNode {
    std::u16string name;
    KeyNode* parent = nullptr;                       // null for the root and for deleted keys
    std::vector<std::shared_ptr<KeyNode>> subkeys;   // ordered by upper-cased name
    std::vector<ValueEntry> values;                  // in creation order
    std::u16string className;
    LONGLONG lastWriteTime = 0;
    bool isVolatile = false;
    bool deleted = false;
};
using KeyRef = std::shared_ptr<KeyNode>;

// What ZwQueryKey and ZwEnumerateKey report about a key.
struct KeySummary {
    std::u16string name;
    std::u16string className;
    LONGLONG lastWriteTime = 0;
    ULONG subkeys = 0;
    ULONG maxNameBytes = 0;
    ULONG maxClassBytes = 0;
    ULONG values = 0;
    ULONG maxValueNameBytes = 0;
    ULONG maxValueDataBytes = 0;
};

bool NamesEqual(std::u16string_view a, std::u16string_view b);
// Splits a path at '\'. Empty components and names longer than kMaxKeyNameChars are invalid.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);

class Store {
public:
    static Store& Instance();

    // Paths are absolute ("\Registry\Machine\...") when base is null and relative to base
    // otherwise; an empty relative path names base itself.
    NTSTATUS Open(const KeyRef& base, std::u16string_view path, KeyRef* key);
    // Creates the last component only: a missing parent is STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS Create(const KeyRef& base, std::u16string_view path, bool isVolatile, std::u16string_view className,
                    KeyRef* key, bool* created);
    // Creates every missing component of an absolute path (non-volatile).
    NTSTATUS CreatePath(std::u16string_view path, KeyRef* key);

    NTSTATUS Summarize(const KeyRef& key, KeySummary* summary);
    NTSTATUS SubkeyAt(const KeyRef& key, ULONG index, KeySummary* summary);
    NTSTATUS FullPath(const KeyRef& key, std::u16string* path);

    NTSTATUS SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data, size_t size);
    NTSTATUS GetValue(const KeyRef& key, std::u16string_view name, ValueEntry* value);
    NTSTATUS ValueAt(const KeyRef& key, ULONG index, ValueEntry* value);
    NTSTATUS DeleteValue(const KeyRef& key, std::u16string_view name);

    // Deletes a key without subkeys. Open handles to it answer STATUS_KEY_DELETED afterwards.
    NTSTATUS DeleteKey(const KeyRef& key);
    // Deletes a key with everything below it.
    NTSTATUS DeleteTree(const KeyRef& key);

    // Back to the empty machine: the root keys only. Every key handed out before is deleted.
    void Reset();

    // The whole store as text (volatile keys left out, as a restart forgets them), and back. Load
    // replaces the whole store, and only when the whole text parses.
    std::string SaveText();
    bool LoadText(std::string_view text, std::string* error);

private:
    Store();
    static KeyRef NewRoot();
    NTSTATUS Walk(const KeyRef& from, const std::vector<std::u16string_view>& parts, size_t count, KeyRef* key);
    NTSTATUS Resolve(const KeyRef& base, std::u16string_view path, std::vector<std::u16string_view>* parts,
                     KeyRef* start);
    static KeyRef FindChild(const KeyNode& parent, std::u16string_view name);
    static KeyRef AddChild(KeyNode& parent, std::u16string_view name, bool isVolatile);
    static void Summarize(const KeyNode& key, KeySummary* summary);
    static void MarkDeleted(KeyNode& key);
    static LONGLONG Now();

    std::mutex lock_;
    KeyRef root_;
};

}  // namespace sim::registry
