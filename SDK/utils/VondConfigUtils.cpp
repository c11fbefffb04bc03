#include "utils/VondConfigUtils.h"

#include <mutex>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "utils/VondJson.h"

namespace VondSdk {
namespace {

constexpr char kSharedConfName[] = "SharedConf";
constexpr char kAppConfName[] = "AppConf";
constexpr char kLockBusy[] = "Config file held by another process, not updated: ";
constexpr char kWriteFailed[] = "Write Config Json Failed: ";

// One lock per file: readers and writers of the same file in this process take it, so a
// read-modify-write never loses another thread's change. Across processes the atomic
// replace keeps every reader on a whole file.
std::mutex& FileMutex(bool shared) {
    static std::mutex* sharedMutex = new std::mutex();
    static std::mutex* appMutex = new std::mutex();
    return shared ? *sharedMutex : *appMutex;
}

nlohmann::json DefaultConfig(bool shared) {
    if (shared) return nlohmann::json{{"ClientId", ""}};
    return nlohmann::json{{"AttributionFlag", 0}, {"EventOrder", 0}};
}

std::string ConfigPath(bool shared) {
    return shared ? GetSharedConfigPath() : VondConfigUtils::GetAppConfigPath();
}

// False when the file is there but cannot be read: value is then the default, and nothing
// derived from it may be written back (the counter, the flag and the client id would restart).
bool ReadUnlocked(bool shared, nlohmann::json& value) {
    std::string text;
    const std::string path = ConfigPath(shared);  // before any line is logged: it may log one
    const platform::ReadResult read = platform::ReadFileState(path, text);
    value = DefaultConfig(shared);
    if (read == platform::ReadResult::Error) {
        LOG(ERROR) << "Config file unreadable, left as it is: " << path;
        return false;
    }
    if (read == platform::ReadResult::Absent) return true;
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) value = std::move(parsed);
    return true;
}

bool WriteUnlocked(const nlohmann::json& value, bool shared) {
    const std::string text = CompactJson(value);
    // Found before the line is logged: finding it may log a line of its own.
    const std::string path = ConfigPath(shared);
    if (!platform::ReplaceFileAtomically(path, text)) {
        LOG(ERROR) << kWriteFailed << path;
        return false;
    }
    LOG(INFO) << "Write Config Json Success. " << text;
    return true;
}

}  // namespace

std::string GetSdkDataDir() {
    return platform::SdkDataDir();
}

std::string GetSharedConfigPath() {
    return GetSdkDataDir() + "/" + kSharedConfName;
}

namespace {

// The game's folder in the data folder, created when missing; the data folder itself when it
// cannot be.
std::string AppFolder() {
    const std::string base = GetSdkDataDir();
    std::string dir = base + "/" + CVondCore::Instance().GetGlobalParams().appId;
    if (!platform::IsDirectory(dir) && !platform::CreateDir(dir)) {
        LOG(ERROR) << "Cant Create Path:" << dir << ", Be Default:" << base;
        dir = base;
    }
    return dir;
}

}  // namespace

std::string VondConfigUtils::GetAppConfigPath() {
    return GetAppFilePath(kAppConfName);
}

std::string VondConfigUtils::GetAppFilePath(const std::string& name) {
    return AppFolder() + "/" + name;
}

nlohmann::json ReadConfigJson(bool shared) {
    nlohmann::json value;
    ReadConfigJson(shared, value);
    return value;
}

bool ReadConfigJson(bool shared, nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(FileMutex(shared));
    return ReadUnlocked(shared, value);
}

void VondConfigUtils::WriteCofnigJson(nlohmann::json value, bool shared) {
    std::lock_guard<std::mutex> lock(FileMutex(shared));
    WriteUnlocked(value, shared);
}

bool VondConfigUtils::UpdateConfigJson(bool shared, const std::function<bool(nlohmann::json&)>& change) {
    const Update update = UpdateConfig(shared, change);
    return update != Update::Unreadable && update != Update::Busy;
}

VondConfigUtils::Update VondConfigUtils::UpdateConfig(bool shared, const std::function<bool(nlohmann::json&)>& change) {
    std::lock_guard<std::mutex> lock(FileMutex(shared));
    // A second game process on the same data folder reads and writes the same file: without
    // this, one of them writes back a document read before the other's change, and the change
    // (an event counter, the attribution flag, the client id) is gone.
    const std::string path = ConfigPath(shared);
    platform::FileLock processes;
    if (processes.LockFor(path) == platform::FileLock::Outcome::Held) {
        LOG(ERROR) << kLockBusy << path;
        return Update::Busy;
    }
    // A lock file that cannot be made (a read-only folder) leaves only this process's lock,
    // as before: the write that follows would fail there anyway.
    nlohmann::json value;
    const bool readable = ReadUnlocked(shared, value);
    // The caller still gets its answer from the defaults, but a file that could not be read
    // is never replaced by values that did not come from it.
    if (!change(value)) return readable ? Update::Unchanged : Update::Unreadable;
    if (!readable) return Update::Unreadable;
    return WriteUnlocked(value, shared) ? Update::Written : Update::WriteFailed;
}

}  // namespace VondSdk
