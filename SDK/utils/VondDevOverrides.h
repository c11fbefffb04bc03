// Development overrides: environment settings that point the SDK at another backend and make
// it trust another CA. They redirect the traffic that carries the app key and the player's
// tokens, so only builds made with the CMake option VOND_DEV_OVERRIDES (tests, the demo, the
// emulators) honour them; a release build ignores them.
#pragma once

#include <string>

#ifndef VOND_DEV_OVERRIDES
#define VOND_DEV_OVERRIDES 0
#endif

namespace VondSdk {

// The backend origin that replaces the built-in one, e.g. "https://127.0.0.1:18443".
constexpr const char* kOriginOverride = "VOND_SDK_ORIGIN";
// A PEM file of extra CA certificates to trust.
constexpr const char* kCaFileOverride = "VOND_SDK_CA_FILE";

constexpr bool kDevOverridesAllowed = VOND_DEV_OVERRIDES != 0;

// The override's value (through the platform seam) when allowed and set to a non-empty text;
// false otherwise. Any thread; never throws.
bool ReadDevOverride(const char* name, bool allowed, std::string& value);

// The same, allowed as this build was configured.
inline bool ReadDevOverride(const char* name, std::string& value) {
    return ReadDevOverride(name, kDevOverridesAllowed, value);
}

}  // namespace VondSdk
