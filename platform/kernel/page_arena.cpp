// The page arena: one memory file mapped once as the kernel's view; blocks are runs of pages
// handed out first-fit, each followed by a guard page that is never accessible.
#include "page_arena.h"

#include <sim/verifier.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

namespace sim::arena {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kArenaBytes = size_t{4} << 30;  // address space only; pages cost memory when touched

struct Arena {
    std::mutex lock;
    int file = -1;
    uint8_t* base = nullptr;
    std::map<size_t, size_t> free;  // offset to length, bytes; neighbours are merged

    Arena() {
        file = memfd_create("kv-pool-pages", MFD_CLOEXEC);
        if (file < 0 || ftruncate(file, static_cast<off_t>(kArenaBytes)) != 0) {
            sim::BugCheck("NO_MEMORY", "the page arena's memory file cannot be made: %s", std::strerror(errno));
        }
        void* view = mmap(nullptr, kArenaBytes, PROT_NONE, MAP_SHARED | MAP_NORESERVE, file, 0);
        if (view == MAP_FAILED) sim::BugCheck("NO_MEMORY", "the page arena cannot be mapped: %s", std::strerror(errno));
        base = static_cast<uint8_t*>(view);
        free[0] = kArenaBytes;
    }
};

Arena& TheArena() {
    static Arena* arena = new Arena();  // lives as long as the process
    return *arena;
}

void Protect(void* address, size_t bytes, int protection) {
    if (mprotect(address, bytes, protection) != 0) {
        sim::BugCheck("NO_MEMORY", "mprotect of arena pages %p (%zu bytes): %s", address, bytes, std::strerror(errno));
    }
}

}  // namespace

void* Allocate(size_t bytes) {
    Arena& a = TheArena();
    size_t span = bytes + kPage;  // and its guard page
    uint8_t* block = nullptr;
    {
        std::lock_guard<std::mutex> guard(a.lock);
        for (auto it = a.free.begin(); it != a.free.end(); ++it) {
            if (it->second < span) continue;
            size_t offset = it->first;
            size_t left = it->second - span;
            a.free.erase(it);
            if (left != 0) a.free[offset + span] = left;
            block = a.base + offset;
            break;
        }
    }
    if (block == nullptr) return nullptr;
    Protect(block, bytes, PROT_READ | PROT_WRITE);
    return block;
}

void Retire(void* block, size_t bytes) { Protect(block, bytes, PROT_NONE); }

void Release(void* block, size_t bytes) {
    Arena& a = TheArena();
    size_t span = bytes + kPage;
    Protect(block, bytes, PROT_NONE);
    size_t offset = static_cast<size_t>(static_cast<uint8_t*>(block) - a.base);
    // The memory goes back to the host; the next user of these pages reads zeros.
    fallocate(a.file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(span));
    std::lock_guard<std::mutex> guard(a.lock);
    auto next = a.free.lower_bound(offset);
    if (next != a.free.end() && next->first == offset + span) {
        span += next->second;
        next = a.free.erase(next);
    }
    if (next != a.free.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == offset) {
            previous->second += span;
            return;
        }
    }
    a.free[offset] = span;
}

bool Contains(const void* address) {
    Arena& a = TheArena();
    auto* p = static_cast<const uint8_t*>(address);
    return p >= a.base && p < a.base + kArenaBytes;
}

int File() { return TheArena().file; }

uint64_t OffsetOf(const void* address) { return static_cast<uint64_t>(static_cast<const uint8_t*>(address) - TheArena().base); }

}  // namespace sim::arena
