// RedeemEntitlementService: consumes one entitlement.
#pragma once

#include <string>

#include "eos_ecom.h"
#include "service/EosCompletion.h"

namespace VondSdk {

// true exactly when EOS redeemed the entitlement (result 0).
using RedeemCompletion = std::function<void(bool)>;

// One redemption. Create in shared ownership (std::make_shared); the object keeps itself
// alive until its completion has run.
class RedeemEntitlementService : public std::enable_shared_from_this<RedeemEntitlementService> {
public:
    // Redeems entitlementId for accountId. Any thread, also inside an EOS completion. The
    // completion is called exactly once: with false at once on this thread when the account
    // is null or there is no platform; otherwise on the ticking thread inside UpdateSDKEvent,
    // or, when EOS is shut down before that tick, with false on the thread that shuts it down.
    // An empty completion does nothing.
    void redeem(EOS_EpicAccountId accountId, std::string entitlementId, const RedeemCompletion& completion);

private:
    static void EOS_CALL RedeemEntitlementsCallback(const EOS_Ecom_RedeemEntitlementsCallbackInfo* data);
    void finish(bool redeemed);

    EosCompletion<RedeemEntitlementService, bool> completion_;
    EOS_EpicAccountId accountId_ = nullptr;
    std::string entitlementId_;
};

}  // namespace VondSdk
