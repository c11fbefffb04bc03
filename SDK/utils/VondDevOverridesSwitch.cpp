// Compiled twice (see CMakeLists.txt): VOND_DEV_OVERRIDES is 1 in the copy that development
// builds link and 0 in the one a release library links.
#include "utils/VondDevOverrides.h"

#ifndef VOND_DEV_OVERRIDES
#define VOND_DEV_OVERRIDES 0
#endif

namespace VondSdk {

bool DevOverridesAllowed() {
    return VOND_DEV_OVERRIDES != 0;
}

}  // namespace VondSdk
