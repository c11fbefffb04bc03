// QueryEntitlementsService: the unredeemed entitlements of the logged-in account.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "eos_ecom.h"
#include "service/EosCompletion.h"

namespace VondSdk {

struct FEntitlementData {
    std::string entitlementName;
    std::string entitlementId;
    std::string catalogItemId;  // the catalogue item that granted it
    bool redeemed = false;
};

// An empty pointer means the query failed; an empty vector that there is nothing to redeem.
using QueryEntitlementsCompletion = std::function<void(std::shared_ptr<std::vector<FEntitlementData>>)>;

// One query. Create in shared ownership (std::make_shared); the object keeps itself alive
// until its completion has run.
class QueryEntitlementsService : public std::enable_shared_from_this<QueryEntitlementsService> {
public:
    // Queries accountId's entitlements, redeemed ones excluded. Any thread. The completion is
    // called exactly once: at once on this thread when the account is null or there is no
    // platform (not created yet, or shut down); otherwise on the ticking thread inside
    // UpdateSDKEvent, or, when EOS is shut down before that tick, with an empty pointer on the
    // thread that shuts it down. Entitlements EOS cannot copy are left out; stale ones are
    // kept. An empty completion does nothing.
    void queryEntitlements(EOS_EpicAccountId accountId, const QueryEntitlementsCompletion& completion);

private:
    static void EOS_CALL QueryEntitlementsCompleteCallbackFn(const EOS_Ecom_QueryEntitlementsCallbackInfo* data);
    // The entitlements EOS cached for accountId_ by the query just answered (ticking thread).
    std::shared_ptr<std::vector<FEntitlementData>> readEntitlements() const;
    void finish(std::shared_ptr<std::vector<FEntitlementData>> result);

    EosCompletion<QueryEntitlementsService, std::shared_ptr<std::vector<FEntitlementData>>> completion_;
    EOS_EpicAccountId accountId_ = nullptr;
};

}  // namespace VondSdk
