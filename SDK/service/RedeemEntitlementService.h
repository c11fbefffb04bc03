// RedeemEntitlementService: consumes one entitlement.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "eos_ecom.h"

namespace VondSdk {

// true exactly when EOS redeemed the entitlement (result 0).
using RedeemCompletion = std::function<void(bool)>;

// One redemption. Create in shared ownership (std::make_shared); the object keeps itself
// alive until EOS has answered.
class RedeemEntitlementService : public std::enable_shared_from_this<RedeemEntitlementService> {
public:
    // Redeems entitlementId for accountId. Any thread, also inside an EOS completion. The
    // completion is called exactly once: with false at once on this thread when the account
    // is null or there is no platform, otherwise on the ticking thread inside UpdateSDKEvent.
    // An empty completion does nothing.
    void redeem(EOS_EpicAccountId accountId, std::string entitlementId, const RedeemCompletion& completion);

    static void EOS_CALL RedeemEntitlementsCallback(const EOS_Ecom_RedeemEntitlementsCallbackInfo* data);
    void handleCallback(bool redeemed);
    static RedeemEntitlementService* getServiceFromClientData(void* clientData);

private:
    std::shared_ptr<RedeemCompletion> completion_;
    std::shared_ptr<RedeemEntitlementService> self_;
    EOS_EpicAccountId accountId_ = nullptr;
    std::string entitlementId_;
};

}  // namespace VondSdk
