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
// The same; false when the file exists but could not be read (value is then the default,
// which must not be acted on as if it were stored).
bool ReadConfigJson(bool shared, nlohmann::json& value);

class VondConfigUtils {
public:
    // The game's own file, "<data folder>/<appId>/AppConf" (the folder is created when
    // missing; the data folder itself when it cannot be).
    static std::string GetAppConfigPath();
    // A file of the SDK's beside AppConf, in the same folder.
    static std::string GetAppFilePath(const std::string& name);
    // Replaces the whole file atomically; silently does nothing when it cannot be written.
    static void WriteCofnigJson(nlohmann::json value, bool shared);
    // Read, change and write back one file as one step with respect to every other update
    // of the same file in this process (the event counter and the attribution flag run on
    // different threads). change returns false to leave the file as it is. When the file
    // exists but cannot be read, change sees the defaults and nothing is written; false then.
    static bool UpdateConfigJson(bool shared, const std::function<bool(nlohmann::json&)>& change);

    // How UpdateConfig ended.
    enum class Update {
        Written,      // change ran on the stored values and they were written back
        Unchanged,    // change ran on the stored values and asked for no write
        WriteFailed,  // change ran on the stored values; writing them back failed (full disk)
        Unreadable,   // the file exists but could not be read: change ran on the defaults, nothing written
        Busy,         // another process held the file's lock past the bound: change did not run
    };
    // UpdateConfigJson serialised across processes too: change runs while this process's lock
    // of the file and the cross-process lock beside it ("<file>.lock") are both held, so a
    // second game process on the same data folder never loses or repeats what the first
    // wrote. The cross-process lock is waited for at most about 2 s. Any thread but a game
    // frame's: it touches the disk.
    static Update UpdateConfig(bool shared, const std::function<bool(nlohmann::json&)>& change);
};

}  // namespace VondSdk
