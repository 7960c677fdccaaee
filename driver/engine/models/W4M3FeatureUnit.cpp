#include "driver/engine/models/W4M3FeatureUnit.h"

NTSTATUS W4M3FeatureUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    return FeatureUnit::CreateControls(Hal);
}
