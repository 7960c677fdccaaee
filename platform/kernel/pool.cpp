// Pool: blocks carry a header with tag, type and size so frees can be checked.
#include <sim/verifier.h>
#include <win/kernel.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kLiveMagic = 0x4C4F4F50564B4C41ull;  // "ALKVPOOL"
constexpr uint64_t kFreedMagic = 0x4545524650564B44ull;

struct alignas(16) PoolHeader {
    uint64_t magic;
    uint64_t size;
    uint32_t tag;
    uint32_t type;
    uint64_t reserved;
};
static_assert(sizeof(PoolHeader) == 32);

PoolHeader* HeaderOf(PVOID p) { return static_cast<PoolHeader*>(p) - 1; }

}  // namespace

KV_EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if ((PoolType & 1) != 0 && KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "paged pool allocation at IRQL %u (tag %.4s)",
                      KeGetCurrentIrql(), reinterpret_cast<const char*>(&Tag));
    }
    auto* h = static_cast<PoolHeader*>(std::aligned_alloc(64, (sizeof(PoolHeader) + NumberOfBytes + 63) / 64 * 64 + 64));
    if (h == nullptr) return nullptr;
    h->magic = kLiveMagic;
    h->size = NumberOfBytes;
    h->tag = Tag;
    h->type = static_cast<uint32_t>(PoolType);
    std::memset(h + 1, 0xA5, NumberOfBytes);
    return h + 1;
}

KV_EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (P == nullptr) sim::BugCheck("BAD_POOL_CALLER", "free of a null pointer");
    PoolHeader* h = HeaderOf(P);
    if (h->magic != kLiveMagic) sim::BugCheck("BAD_POOL_CALLER", "free of %p, not a live pool block", P);
    if (Tag != 0 && Tag != h->tag) {
        sim::BugCheck("BAD_POOL_CALLER", "free of %p with tag %.4s, allocated with %.4s", P,
                      reinterpret_cast<const char*>(&Tag), reinterpret_cast<const char*>(&h->tag));
    }
    h->magic = kFreedMagic;
    std::free(h);
}

KV_EXTERN_C VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
