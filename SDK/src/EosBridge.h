// The account, payment and order code's one way to the EOS services: each call below is made
// on the thread that ticks EOS, for the Epic account logged in at index 0.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VondSdk {

// TEMPORARY until the EOS services land.
struct PayInfo {
    std::string entitlementId;
    std::string transactionId;
};
struct FEntitlementData {
    std::string entitlementName;
    std::string entitlementId;
    bool redeemed = false;
};

namespace eosbridge {

// Runs work on the thread that ticks EOS, right before its next tick (at once when called
// there). Callable from any thread.
void OnTick(std::function<void()> work);

// The calls below run on the ticking thread; their completions run there too, once.
void Checkout(const std::string& offerId, std::function<void(std::shared_ptr<PayInfo>)> done);
void RedeemEntitlement(const std::string& entitlementId, std::function<void(bool)> done);
void QueryEntitlements(std::function<void(std::shared_ptr<std::vector<FEntitlementData>>)> done);
std::string AccessToken();

// Any thread.
std::string SandboxId();
// {"deviceId":...,"resolution":...} from the tracking object.
std::string CollectionInfo();

}  // namespace eosbridge
}  // namespace VondSdk
