#include "src/EosBridge.h"

#include <nlohmann/json.hpp>

#include "platform/Platform.h"
#include "src/CVondCore.h"

namespace VondSdk {
namespace eosbridge {

// TEMPORARY until the EOS services land.
void OnTick(std::function<void()> work) {
    work();
}
void Checkout(const std::string&, std::function<void(std::shared_ptr<PayInfo>)> done) {
    done(nullptr);
}
void RedeemEntitlement(const std::string&, std::function<void(bool)> done) {
    done(false);
}
void QueryEntitlements(std::function<void(std::shared_ptr<std::vector<FEntitlementData>>)> done) {
    done(nullptr);
}
std::string AccessToken() {
    return std::string();
}
std::string SandboxId() {
    return std::string();
}
std::string CollectionInfo() {
    platform::ScreenSize size = platform::DesktopSize();
    nlohmann::json info = {{"deviceId", CVondCore::Instance().GetGlobalParams().clientId},
                           {"resolution", std::to_string(size.width) + "x" + std::to_string(size.height)}};
    return info.dump();
}

}  // namespace eosbridge
}  // namespace VondSdk
