// IRQL, tracked per host thread. Raising to a lower level or lowering to a higher one is a bug
// check, as is pageable code above APC_LEVEL.
#include "lock_order.h"

#include <sim/verifier.h>
#include <win/kernel.h>

#include <string>

static thread_local KIRQL t_irql = PASSIVE_LEVEL;

KV_EXTERN_C KIRQL KeGetCurrentIrql(void) { return t_irql; }

KV_EXTERN_C KIRQL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old) {
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from the higher IRQL %u", NewIrql, old);
    }
    if (NewIrql > HIGH_LEVEL) sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to invalid IRQL %u", NewIrql);
    t_irql = NewIrql;
    return old;
}

KV_EXTERN_C VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from the lower IRQL %u", NewIrql, t_irql);
    }
    if (NewIrql < DISPATCH_LEVEL && sim::lockorder::HoldsSpinLock()) {
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeLowerIrql to %u while holding %s", NewIrql,
                      sim::lockorder::DescribeFirstHeld());
    }
    t_irql = NewIrql;
}

KV_EXTERN_C KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

KV_EXTERN_C VOID KvPagedCodeCheck(PCSTR Function) {
    if (t_irql > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "pageable routine %s called at IRQL %u", Function, t_irql);
    }
}

namespace sim {

std::string ReturnToPassiveLevel() {
    if (t_irql == PASSIVE_LEVEL) return {};
    std::string left = "IRQL " + std::to_string(t_irql);
    if (lockorder::HeldCount() != 0) left += std::string(", holding ") + lockorder::DescribeFirstHeld();
    lockorder::DropAllHeld();
    t_irql = PASSIVE_LEVEL;
    return left;
}

}  // namespace sim
