// Memory-manager internals shared with the process and pool code.
#pragma once

#include <win/kernel.h>

#include <string>

namespace sim::mm::detail {

// User mappings of locked pages still mapped in process; a listing goes to *listing.
size_t UserMappingsOf(PEPROCESS process, std::string* listing);
// Unmaps every section view of process (its end).
void UnmapProcessViews(PEPROCESS process);
// User mappings that show any of the bytes [address, address + bytes); a listing goes to *listing.
size_t UserMappingsOver(const void* address, size_t bytes, std::string* listing);

}  // namespace sim::mm::detail
