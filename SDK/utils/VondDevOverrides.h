// Development overrides: environment settings that point the SDK at another backend and make
// it trust another CA. They redirect the traffic that carries the app key and the player's
// tokens, so only builds made with the CMake option VOND_DEV_OVERRIDES (tests, the demo, the
// emulators) honour them; a release build ignores them.
#pragma once

#include <string>

namespace VondSdk {

// The backend origin that replaces the built-in one, e.g. "https://127.0.0.1:18443".
constexpr const char* kOriginOverride = "VOND_SDK_ORIGIN";
// A PEM file of extra CA certificates to trust.
constexpr const char* kCaFileOverride = "VOND_SDK_CA_FILE";
// The first wait before an unacknowledged event is sent again, in milliseconds (else 1 s).
constexpr const char* kTrackRetryOverride = "VOND_SDK_TRACK_RETRY_MS";

// Whether this build honours the overrides. Decided by the one object the build links
// (VondDevOverridesSwitch.cpp, compiled once allowing and once refusing), so that the very
// objects of a release library can be tested with the refusing one.
bool DevOverridesAllowed();

// The override's value (through the platform seam) when allowed and set to a non-empty text;
// false otherwise. Any thread; never throws.
bool ReadDevOverride(const char* name, bool allowed, std::string& value);

// The same, allowed as this build was configured.
inline bool ReadDevOverride(const char* name, std::string& value) {
    return ReadDevOverride(name, DevOverridesAllowed(), value);
}

}  // namespace VondSdk
