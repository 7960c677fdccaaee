// Whole-page pool blocks live in one arena backed by a memory file, so the memory manager can map
// their pages a second time, as a real alias, into a process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::arena {

// bytes is a whole number of pages; the block is followed by an inaccessible guard page. Null when
// the arena is exhausted.
void* Allocate(size_t bytes);
// A freed block waits in quarantine: its pages become inaccessible, so a late access faults.
void Retire(void* block, size_t bytes);
// Gives a block (retired or not) back to the arena and its memory back to the host.
void Release(void* block, size_t bytes);
bool Contains(const void* address);
// The memory file and the offset of an arena address in it, for a second mapping.
int File();
uint64_t OffsetOf(const void* address);

}  // namespace sim::arena
