#include "utils/KeptClientConfig.h"

#include <string>

#include "easylogging++.h"
#include "platform/Platform.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondJson.h"

namespace VondSdk {
namespace keptconfig {
namespace {

constexpr char kFileName[] = "ClientConfig";
constexpr char kUnreadableSuffix[] = ".unreadable";
constexpr char kUnreadable[] = "Kept client config unreadable, left as it is: ";
constexpr char kKept[] = "Client config kept for offline start-up.";
// Only what EOS start-up needs: the rest of the answer is of no use without the backend.
constexpr const char* kMembers[] = {"epicGameName", "epicProductId", "epicClientCredentialsId",
                                    "epicClientCredentialsSecret"};


}  // namespace

void Keep(const nlohmann::json& config) {
    if (!config.is_object()) return;
    nlohmann::json kept = nlohmann::json::object();
    bool any = false;
    for (const char* member : kMembers) {
        auto it = config.find(member);
        if (it == config.end() || !it->is_string()) continue;
        kept[member] = *it;
        any = any || !it->get<std::string>().empty();
    }
    if (!any) return;
    const std::string path = VondConfigUtils::GetAppFilePath(kFileName);
    const std::string text = CompactJson(kept);
    std::string old;
    switch (platform::ReadFileState(path, old)) {
        case platform::ReadResult::Error:
            LOG(ERROR) << kUnreadable << path;
            return;
        case platform::ReadResult::Found: {
            if (old == text) return;
            const nlohmann::json parsed = nlohmann::json::parse(old, nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object()) {
                platform::ReplaceFileAtomically(path + kUnreadableSuffix, old);
            }
            break;
        }
        case platform::ReadResult::Absent:
            break;
    }
    if (platform::ReplaceFileAtomically(path, text)) LOG(INFO) << kKept;
}

bool Load(nlohmann::json& config) {
    const std::string path = VondConfigUtils::GetAppFilePath(kFileName);
    std::string text;
    switch (platform::ReadFileState(path, text)) {
        case platform::ReadResult::Error:
            LOG(ERROR) << kUnreadable << path;
            return false;
        case platform::ReadResult::Absent:
            return false;
        case platform::ReadResult::Found:
            break;
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        LOG(ERROR) << kUnreadable << path;
        return false;
    }
    config = std::move(parsed);
    return true;
}

}  // namespace keptconfig
}  // namespace VondSdk
