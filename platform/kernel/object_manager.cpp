#include "object_manager.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace sim::ob {
namespace {

constexpr uint64_t kObjectMagic = 0x5443454A424F4B53ull;  // "SKOBJECT"

struct alignas(16) ObjectHeader {
    uint64_t magic;
    POBJECT_TYPE type;
    std::atomic<LONG_PTR> references;
    std::atomic<int64_t> handles;
};
static_assert(sizeof(ObjectHeader) == 32);

ObjectHeader* HeaderOf(const void* body) {
    return const_cast<ObjectHeader*>(reinterpret_cast<const ObjectHeader*>(body) - 1);
}

struct HandleEntry {
    void* body;
    ACCESS_MASK access;
};

struct HandleTable {
    uint64_t base = 0;
    uint64_t next = 1;
    std::map<uint64_t, HandleEntry> entries;
    // A user table hands out fresh values first, so a closed handle's value stays invalid for a
    // long while; once every value was handed out it reuses the values of closed handles (oldest
    // first), as a long-lived process that opens and closes handles needs. It is full only when
    // every value is open.
    bool reusing = false;
    std::deque<uint64_t> closedValues;
};

constexpr uint64_t kKernelHandleBits = 0xFFFFFFFF80000000ull;
// Handle values of one user table: base + 4 x n, n below this.
constexpr uint64_t kHandlesPerTable = 0x4000;

struct Tables {
    std::mutex lock;
    std::map<HandleTableId, HandleTable> tables;
    HandleTableId nextId = 1;
    Tables() { tables[kKernelTable].base = kKernelHandleBits; }
};

Tables& TheTables() {
    static Tables* tables = new Tables();  // lives as long as the process; threads may outlive main
    return *tables;
}

thread_local HandleTableId t_currentTable = kKernelTable;

struct PermanentEntry {
    uint64_t serial;
    std::u16string name;
    const void* creator;
};
struct PermanentObjects {
    std::mutex lock;
    std::map<const void*, PermanentEntry> entries;  // by body
    uint64_t nextSerial = 1;
};
PermanentObjects& ThePermanentObjects() {
    static auto* objects = new PermanentObjects();  // lives as long as the process
    return *objects;
}

// Takes the object out of the permanent set; TRUE when it was in it.
bool TakePermanent(const void* body) {
    PermanentObjects& p = ThePermanentObjects();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.entries.erase(body) != 0;
}

bool IsPermanent(const void* body) {
    PermanentObjects& p = ThePermanentObjects();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.entries.count(body) != 0;
}

}  // namespace

void MakePermanent(void* body, std::u16string_view name, const void* creator) {
    PermanentObjects& p = ThePermanentObjects();
    std::lock_guard<std::mutex> guard(p.lock);
    auto [entry, inserted] = p.entries.try_emplace(body);
    if (!inserted) return;  // already permanent: one reference of the manager's own
    entry->second = PermanentEntry{.serial = p.nextSerial++, .name = std::u16string(name), .creator = creator};
    ObfReferenceObject(body);
}

uint64_t PermanentSerial() {
    PermanentObjects& p = ThePermanentObjects();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.nextSerial;
}

size_t PermanentObjectsSince(uint64_t since, std::string* listing) {
    PermanentObjects& p = ThePermanentObjects();
    std::lock_guard<std::mutex> guard(p.lock);
    size_t count = 0;
    for (const auto& [body, entry] : p.entries) {
        if (entry.serial < since) continue;
        ++count;
        if (listing == nullptr) continue;
        *listing += " ";
        for (char16_t c : entry.name) *listing += c < 0x80 ? static_cast<char>(c) : '?';
        *listing += " (created by " + sim::ke::SymbolName(entry.creator) + ")";
    }
    return count;
}

void* CreateObject(POBJECT_TYPE type, size_t bodySize) {
    size_t total = sizeof(ObjectHeader) + ((bodySize + 15) & ~size_t{15});
    auto* header = static_cast<ObjectHeader*>(std::aligned_alloc(16, total));
    if (header == nullptr) return nullptr;
    std::memset(static_cast<void*>(header), 0, total);
    header->magic = kObjectMagic;
    header->type = type;
    header->references.store(1);
    return header + 1;
}

bool IsObject(const void* body) { return body != nullptr && HeaderOf(body)->magic == kObjectMagic; }

POBJECT_TYPE TypeOf(const void* body) { return HeaderOf(body)->type; }

LONG_PTR ReferenceCount(const void* body) { return HeaderOf(body)->references.load(); }

bool TryReference(void* body) {
    std::atomic<LONG_PTR>& references = HeaderOf(body)->references;
    LONG_PTR count = references.load();
    while (count > 0) {
        if (references.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
}

static ObjectHeader* CheckedHeader(const void* body, const char* caller) {
    if (body == nullptr) sim::BugCheck("INVALID_OBJECT", "%s of a null object", caller);
    ObjectHeader* header = HeaderOf(body);
    if (header->magic != kObjectMagic) {
        sim::BugCheck("INVALID_OBJECT", "%s of %p, which is not a live object", caller, body);
    }
    return header;
}

HandleTableId CreateHandleTable() {
    Tables& t = TheTables();
    std::lock_guard<std::mutex> guard(t.lock);
    HandleTableId id = t.nextId++;
    t.tables[id].base = static_cast<uint64_t>(id) * 4 * kHandlesPerTable;
    return id;
}

// Drops the reference of a handle that was taken out of its table; the type hears of the last one.
static void ReleaseHandle(void* body) {
    ObjectHeader* header = HeaderOf(body);
    if (header->handles.fetch_sub(1) == 1 && header->type != nullptr && header->type->info.lastHandleClosed != nullptr) {
        header->type->info.lastHandleClosed(body);
    }
    ObfDereferenceObject(body);
}

size_t DestroyHandleTable(HandleTableId table) {
    size_t closed = 0;
    for (;;) {
        void* body = nullptr;
        {
            Tables& t = TheTables();
            std::lock_guard<std::mutex> guard(t.lock);
            auto it = t.tables.find(table);
            if (it == t.tables.end()) return closed;
            if (it->second.entries.empty()) {
                t.tables.erase(it);
                return closed;
            }
            // Newest first, as a process's handles are run down.
            auto last = std::prev(it->second.entries.end());
            body = last->second.body;
            it->second.entries.erase(last);
        }
        ReleaseHandle(body);
        ++closed;
    }
}

HANDLE InsertHandle(HandleTableId table, void* body, ACCESS_MASK access) {
    ObjectHeader* header = CheckedHeader(body, "InsertHandle");
    Tables& t = TheTables();
    std::unique_lock<std::mutex> guard(t.lock);
    HandleTable& h = t.tables[table];
    uint64_t value = 0;
    if (table != kKernelTable && h.next >= kHandlesPerTable) {
        if (!h.reusing) {
            h.reusing = true;
            for (uint64_t n = 1; n < kHandlesPerTable; ++n) {
                if (!h.entries.contains(h.base + 4 * n)) h.closedValues.push_back(h.base + 4 * n);
            }
        }
        if (h.closedValues.empty()) {
            guard.unlock();
            sim::BugCheck("NO_MORE_SYSTEM_PTES", "handle table %d is full (%llu handles)", table,
                          static_cast<unsigned long long>(kHandlesPerTable - 1));
        }
        value = h.closedValues.front();
        h.closedValues.pop_front();
    } else {
        value = h.base + 4 * h.next++;
    }
    header->references.fetch_add(1);
    header->handles.fetch_add(1);
    h.entries[value] = HandleEntry{.body = body, .access = access};
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ReferenceByHandle(HandleTableId table, HANDLE handle, POBJECT_TYPE type, void** body, ACCESS_MASK* granted) {
    Tables& t = TheTables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.tables.find(table);
    if (it == t.tables.end()) return STATUS_INVALID_HANDLE;
    auto entry = it->second.entries.find(reinterpret_cast<uint64_t>(handle));
    if (entry == it->second.entries.end()) return STATUS_INVALID_HANDLE;
    if (type != nullptr && HeaderOf(entry->second.body)->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    HeaderOf(entry->second.body)->references.fetch_add(1);
    *body = entry->second.body;
    if (granted != nullptr) *granted = entry->second.access;
    return STATUS_SUCCESS;
}

bool IsKernelHandle(HANDLE handle) { return (reinterpret_cast<uint64_t>(handle) & kKernelHandleBits) == kKernelHandleBits; }

NTSTATUS CloseHandle(HandleTableId table, HANDLE handle) {
    void* body = nullptr;
    {
        Tables& t = TheTables();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.tables.find(table);
        if (it == t.tables.end()) return STATUS_INVALID_HANDLE;
        auto entry = it->second.entries.find(reinterpret_cast<uint64_t>(handle));
        if (entry == it->second.entries.end()) return STATUS_INVALID_HANDLE;
        body = entry->second.body;
        it->second.entries.erase(entry);
        if (it->second.reusing) it->second.closedValues.push_back(reinterpret_cast<uint64_t>(handle));
    }
    ReleaseHandle(body);
    return STATUS_SUCCESS;
}

size_t OpenHandleCount(HandleTableId table) {
    Tables& t = TheTables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.tables.find(table);
    return it == t.tables.end() ? 0 : it->second.entries.size();
}

HandleTableId CurrentHandleTable() { return t_currentTable; }
void SetCurrentHandleTable(HandleTableId table) { t_currentTable = table; }

}  // namespace sim::ob

KV_EXTERN_C LONG_PTR ObfReferenceObject(PVOID Object) {
    return sim::ob::CheckedHeader(Object, "ObReferenceObject")->references.fetch_add(1) + 1;
}

KV_EXTERN_C LONG_PTR ObfDereferenceObject(PVOID Object) {
    auto* header = sim::ob::CheckedHeader(Object, "ObDereferenceObject");
    LONG_PTR left = header->references.fetch_sub(1) - 1;
    if (left < 0) sim::BugCheck("REFERENCE_BY_POINTER", "object %p dereferenced below zero", Object);
    if (left == 0) {
        if (sim::ob::IsPermanent(Object)) {
            sim::BugCheck("REFERENCE_BY_POINTER", "permanent object %p dereferenced past the object manager's own "
                          "reference", Object);
        }
        if (header->type != nullptr && header->type->info.destroy != nullptr) header->type->info.destroy(Object);
        header->magic = 0;
        std::free(header);
    }
    return left;
}

KV_EXTERN_C VOID ObMakeTemporaryObject(PVOID Object) {
    sim::ob::CheckedHeader(Object, "ObMakeTemporaryObject");
    if (sim::ob::TakePermanent(Object)) ObfDereferenceObject(Object);
}

// Generic rights a handle may have been granted with, as the rights they stand for.
static ACCESS_MASK ExpandGeneric(ACCESS_MASK access) {
    if ((access & GENERIC_ALL) != 0) access |= 0x001FFFFF;
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

KV_EXTERN_C NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode, PVOID* Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ObReferenceObjectByHandle at IRQL %u", KeGetCurrentIrql());
    }
    if (Object == nullptr) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    // Kernel-mode callers may name kernel handles; every other handle resolves in the current
    // process (the caller's, or the one the thread is attached to). A user-mode caller never
    // reaches a kernel handle, and is held to the access its handle was granted.
    sim::ob::HandleTableId table = sim::ob::CurrentHandleTable();
    if (sim::ob::IsKernelHandle(Handle)) {
        if (AccessMode != KernelMode) return STATUS_INVALID_HANDLE;
        table = sim::ob::kKernelTable;
    } else if (AccessMode == UserMode && table == sim::ob::kKernelTable) {
        return STATUS_INVALID_HANDLE;
    }
    ACCESS_MASK granted = 0;
    NTSTATUS status = sim::ob::ReferenceByHandle(table, Handle, ObjectType, Object, &granted);
    if (!NT_SUCCESS(status)) return status;
    granted = ExpandGeneric(granted);
    if (AccessMode == UserMode && (ExpandGeneric(DesiredAccess) & ~granted) != 0) {
        ObfDereferenceObject(*Object);
        *Object = nullptr;
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

static sim::ob::HandleTableId TableOfHandle(HANDLE Handle) {
    return sim::ob::IsKernelHandle(Handle) ? sim::ob::kKernelTable : sim::ob::CurrentHandleTable();
}

KV_EXTERN_C NTSTATUS ZwClose(HANDLE Handle) { return sim::ob::CloseHandle(TableOfHandle(Handle), Handle); }
KV_EXTERN_C NTSTATUS NtClose(HANDLE Handle) { return ZwClose(Handle); }
