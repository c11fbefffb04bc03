// The SDK's small state files: SharedConf (one per machine) and <appId>/AppConf (one per
// game), compact JSON objects in the SDK data directory.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace VondSdk {

// The SDK data directory (UTF-8), queried anew on every call.
std::string GetSdkDataDir();
std::string GetSharedConfigPath();
// The file's content, or its default when it is missing, unreadable or not an object.
nlohmann::json ReadConfigJson(bool shared);

class VondConfigUtils {
public:
    static std::string GetAppConfigPath();
    // Replaces the whole file atomically; silently does nothing when it cannot be written.
    static void WriteCofnigJson(nlohmann::json value, bool shared);
    // Read, change and write back one file as one step with respect to every other update
    // of the same file in this process (the event counter and the attribution flag run on
    // different threads). change returns false to leave the file as it is.
    static void UpdateConfigJson(bool shared, const std::function<bool(nlohmann::json&)>& change);
};

}  // namespace VondSdk
