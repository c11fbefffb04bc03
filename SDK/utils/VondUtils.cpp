#include "utils/VondUtils.h"

#include "easylogging++.h"
#include "platform/Platform.h"
#include "utils/GameCalls.h"
#include "utils/VondConfigUtils.h"

namespace VondSdk {
namespace {

constexpr char kClientIdKey[] = "ClientId";

std::string CutAtNul(std::string text) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    return CutAtNul(platform::WideToUtf8(text));
}

std::wstring ToWide(const std::string& text) {
    return platform::Utf8ToWide(CutAtNul(text));
}

namespace {

// The machine's GUID without its dashes, so that every game on the machine makes the same id;
// a random one where the machine has none.
std::string MakeClientId() {
    std::string raw = platform::ReadMachineGuid();
    if (raw.empty()) {
        LOG(WARNING) << "MachineGUID is empty, try uuid ...";
        raw = platform::NewUuidText();
        if (!raw.empty()) LOG(INFO) << "Random UUID Reuslt:" << raw;
    }
    std::string id;
    for (char c : raw) {
        if (c != '-') id += c;
    }
    return id;
}

}  // namespace

std::string VondUtils::GetClientId() {
    std::string stored;
    std::string id;
    VondConfigUtils::UpdateConfigJson(true, [&](nlohmann::json& conf) {
        auto it = conf.find(kClientIdKey);
        if (it != conf.end() && it->is_string()) stored = it->get<std::string>();
        if (!stored.empty()) return false;
        id = MakeClientId();
        conf[kClientIdKey] = id;
        return true;
    });
    if (stored.empty() && id.empty()) {
        // Another game process held SharedConf past the bound: the id as it stands there, else
        // made as it would have been stored. Never empty: the backend tells a device's events
        // apart by it, and keeps every copy of an event sent without one.
        nlohmann::json conf;
        if (ReadConfigJson(true, conf)) {
            auto it = conf.find(kClientIdKey);
            if (it != conf.end() && it->is_string()) stored = it->get<std::string>();
        }
        if (stored.empty()) id = MakeClientId();
    }
    if (!stored.empty()) {
        LOG(INFO) << "Read ClientId :" << stored;
        return stored;
    }
    LOG(INFO) << "Init ClientId :" << id;
    return id;
}

void AnswerGame(ResultCallback callback, int code, const std::wstring& message, const std::wstring& data) {
    if (callback == nullptr) return;
    CallGame([callback, code, message, data] { callback(code, message, data); });
}

}  // namespace VondSdk
