#include "utils/VondDevOverrides.h"

#include "platform/Platform.h"

namespace VondSdk {

bool ReadDevOverride(const char* name, bool allowed, std::string& value) {
    if (!allowed) return false;
    std::string read;
    if (!platform::GetEnv(name, read) || read.empty()) return false;
    value = read;
    return true;
}

}  // namespace VondSdk
