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

std::string VondUtils::GetClientId() {
    std::string stored;
    std::string raw;
    std::string id;
    VondConfigUtils::UpdateConfigJson(true, [&](nlohmann::json& conf) {
        auto it = conf.find(kClientIdKey);
        if (it != conf.end() && it->is_string()) stored = it->get<std::string>();
        if (!stored.empty()) return false;

        raw = platform::ReadMachineGuid();
        if (raw.empty()) {
            LOG(WARNING) << "MachineGUID is empty, try uuid ...";
            raw = platform::NewUuidText();
            if (!raw.empty()) LOG(INFO) << "Random UUID Reuslt:" << raw;
        }
        for (char c : raw) {
            if (c != '-') id += c;
        }
        conf[kClientIdKey] = id;
        return true;
    });
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
