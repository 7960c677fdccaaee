#include <win/kernel.h>

static thread_local KIRQL t_irql = PASSIVE_LEVEL;

KV_EXTERN_C KIRQL KeGetCurrentIrql(void) { return t_irql; }
