#include "registry_store.h"

#include <algorithm>

namespace sim::registry {
namespace {

// Keys every machine has: the hive roots and the parts of the system hive that drivers and the
// PnP manager create their keys in.
const char16_t* const kBaseline[] = {
    u"\\Registry\\Machine\\HARDWARE",
    u"\\Registry\\Machine\\SOFTWARE\\Classes",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
    u"\\Registry\\User",
};

// Depth of the hive roots (\Registry\Machine\SYSTEM): they and their ancestors cannot be deleted,
// and new keys cannot be created above them through the Zw services.
constexpr int kHiveDepth = 2;

int Depth(const KeyNode* key) {
    int depth = 0;
    for (; key->parent != nullptr; key = key->parent) ++depth;
    return depth;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = RtlUpcaseUnicodeChar(a[i]);
        WCHAR y = RtlUpcaseUnicodeChar(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

ULONG Bytes(size_t units) { return static_cast<ULONG>(units * sizeof(WCHAR)); }

}  // namespace

NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) return STATUS_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(part);
        if (end == std::u16string_view::npos) return STATUS_SUCCESS;
        start = end + 1;
    }
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

Store& Store::Instance() {
    static Store* store = new Store();  // lives as long as the process; threads may outlive main
    return *store;
}

Store::Store() : root_(NewRoot()) {}

KeyRef Store::NewRoot() {
    auto root = std::make_shared<KeyNode>();
    root->name = u"Registry";
    root->lastWriteTime = Now();
    for (std::u16string_view path : kBaseline) {
        KeyNode* node = root.get();
        std::vector<std::u16string_view> parts;
        SplitPath(path.substr(1), &parts);
        for (size_t i = 1; i < parts.size(); ++i) {
            KeyRef child = FindChild(*node, parts[i]);
            node = child != nullptr ? child.get() : AddChild(*node, parts[i], false).get();
        }
    }
    return root;
}

// The machine's clock is not consulted: write times are zero, so saved stores compare equal
// run after run.
LONGLONG Store::Now() { return 0; }

KeyRef Store::FindChild(const KeyNode& parent, std::u16string_view name) {
    auto it = std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), name,
                               [](const KeyRef& k, std::u16string_view n) { return CompareNames(k->name, n) < 0; });
    if (it != parent.subkeys.end() && CompareNames((*it)->name, name) == 0) return *it;
    return nullptr;
}

KeyRef Store::AddChild(KeyNode& parent, std::u16string_view name, bool isVolatile) {
    auto child = std::make_shared<KeyNode>();
    child->name = std::u16string(name);
    child->parent = &parent;
    child->isVolatile = isVolatile;
    child->lastWriteTime = Now();
    auto it = std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), name,
                               [](const KeyRef& k, std::u16string_view n) { return CompareNames(k->name, n) < 0; });
    parent.subkeys.insert(it, child);
    parent.lastWriteTime = Now();
    return child;
}

void Store::MarkDeleted(KeyNode& key) {
    for (KeyRef& child : key.subkeys) MarkDeleted(*child);
    key.subkeys.clear();
    key.values.clear();
    key.deleted = true;
    key.parent = nullptr;
}

NTSTATUS Store::Resolve(const KeyRef& base, std::u16string_view path, std::vector<std::u16string_view>* parts,
                        KeyRef* start) {
    if (base == nullptr) {
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        NTSTATUS status = SplitPath(path.substr(1), parts);
        if (!NT_SUCCESS(status)) return status;
        if (parts->empty() || !NamesEqual((*parts)[0], u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
        parts->erase(parts->begin());
        *start = root_;
        return STATUS_SUCCESS;
    }
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (base->deleted) return STATUS_KEY_DELETED;
    *start = base;
    return SplitPath(path, parts);
}

NTSTATUS Store::Walk(const KeyRef& from, const std::vector<std::u16string_view>& parts, size_t count, KeyRef* key) {
    KeyRef node = from;
    for (size_t i = 0; i < count; ++i) {
        node = FindChild(*node, parts[i]);
        if (node == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *key = node;
    return STATUS_SUCCESS;
}

NTSTATUS Store::Open(const KeyRef& base, std::u16string_view path, KeyRef* key) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::u16string_view> parts;
    KeyRef start;
    NTSTATUS status = Resolve(base, path, &parts, &start);
    if (!NT_SUCCESS(status)) return status;
    return Walk(start, parts, parts.size(), key);
}

NTSTATUS Store::Create(const KeyRef& base, std::u16string_view path, bool isVolatile, std::u16string_view className,
                       KeyRef* key, bool* created) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::u16string_view> parts;
    KeyRef start;
    NTSTATUS status = Resolve(base, path, &parts, &start);
    if (!NT_SUCCESS(status)) return status;
    *created = false;
    if (parts.empty()) {
        *key = start;
        return STATUS_SUCCESS;
    }
    KeyRef parent;
    status = Walk(start, parts, parts.size() - 1, &parent);
    if (!NT_SUCCESS(status)) return status;
    if (KeyRef existing = FindChild(*parent, parts.back())) {
        *key = existing;
        return STATUS_SUCCESS;
    }
    if (Depth(parent.get()) < kHiveDepth) return STATUS_ACCESS_DENIED;
    if (parent->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    *key = AddChild(*parent, parts.back(), isVolatile);
    (*key)->className = std::u16string(className);
    *created = true;
    return STATUS_SUCCESS;
}

NTSTATUS Store::CreatePath(std::u16string_view path, KeyRef* key) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::u16string_view> parts;
    KeyRef node;
    NTSTATUS status = Resolve(nullptr, path, &parts, &node);
    if (!NT_SUCCESS(status)) return status;
    for (std::u16string_view part : parts) {
        KeyRef child = FindChild(*node, part);
        node = child != nullptr ? child : AddChild(*node, part, node->isVolatile);
    }
    *key = node;
    return STATUS_SUCCESS;
}

void Store::Summarize(const KeyNode& key, KeySummary* summary) {
    *summary = KeySummary{};
    summary->name = key.name;
    summary->className = key.className;
    summary->lastWriteTime = key.lastWriteTime;
    summary->subkeys = static_cast<ULONG>(key.subkeys.size());
    summary->values = static_cast<ULONG>(key.values.size());
    for (const KeyRef& child : key.subkeys) {
        summary->maxNameBytes = std::max(summary->maxNameBytes, Bytes(child->name.size()));
        summary->maxClassBytes = std::max(summary->maxClassBytes, Bytes(child->className.size()));
    }
    for (const ValueEntry& value : key.values) {
        summary->maxValueNameBytes = std::max(summary->maxValueNameBytes, Bytes(value.name.size()));
        summary->maxValueDataBytes = std::max(summary->maxValueDataBytes, static_cast<ULONG>(value.data.size()));
    }
}

NTSTATUS Store::Summarize(const KeyRef& key, KeySummary* summary) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    Summarize(*key, summary);
    return STATUS_SUCCESS;
}

NTSTATUS Store::SubkeyAt(const KeyRef& key, ULONG index, KeySummary* summary) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    Summarize(*key->subkeys[index], summary);
    return STATUS_SUCCESS;
}

NTSTATUS Store::FullPath(const KeyRef& key, std::u16string* path) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    path->clear();
    for (const KeyNode* node = key.get(); node != nullptr; node = node->parent) {
        path->insert(0, node->name);
        path->insert(0, 1, u'\\');
    }
    return STATUS_SUCCESS;
}

NTSTATUS Store::SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data, size_t size) {
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    const auto* bytes = static_cast<const UCHAR*>(data);
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const ValueEntry& v) { return NamesEqual(v.name, name); });
    if (it == key->values.end()) {
        key->values.push_back(ValueEntry{std::u16string(name), type, {}});
        it = key->values.end() - 1;
    }
    it->type = type;
    it->data.assign(bytes, bytes + size);
    key->lastWriteTime = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Store::GetValue(const KeyRef& key, std::u16string_view name, ValueEntry* value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    for (const ValueEntry& v : key->values) {
        if (NamesEqual(v.name, name)) {
            *value = v;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Store::ValueAt(const KeyRef& key, ULONG index, ValueEntry* value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteValue(const KeyRef& key, std::u16string_view name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const ValueEntry& v) { return NamesEqual(v.name, name); });
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->lastWriteTime = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteKey(const KeyRef& key) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (!key->subkeys.empty() || Depth(key.get()) <= kHiveDepth) return STATUS_CANNOT_DELETE;
    KeyNode* parent = key->parent;
    parent->subkeys.erase(std::find(parent->subkeys.begin(), parent->subkeys.end(), key));
    parent->lastWriteTime = Now();
    MarkDeleted(*key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteTree(const KeyRef& key) {
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (Depth(key.get()) <= kHiveDepth) return STATUS_CANNOT_DELETE;
    KeyNode* parent = key->parent;
    parent->subkeys.erase(std::find(parent->subkeys.begin(), parent->subkeys.end(), key));
    parent->lastWriteTime = Now();
    MarkDeleted(*key);
    return STATUS_SUCCESS;
}

void Store::Reset() {
    KeyRef fresh = NewRoot();
    std::lock_guard<std::mutex> guard(lock_);
    MarkDeleted(*root_);
    root_ = fresh;
}

}  // namespace sim::registry
