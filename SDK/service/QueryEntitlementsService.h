// QueryEntitlementsService: the unredeemed entitlements of the logged-in account.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "eos_ecom.h"

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
// until EOS has answered.
class QueryEntitlementsService : public std::enable_shared_from_this<QueryEntitlementsService> {
public:
    // Queries accountId's entitlements, redeemed ones excluded. Any thread. The completion is
    // called exactly once: at once on this thread when the account is null or the platform
    // was never created, otherwise on the ticking thread inside UpdateSDKEvent. Entitlements
    // EOS cannot copy are left out; stale ones are kept. An empty completion does nothing.
    void queryEntitlements(EOS_EpicAccountId accountId, const QueryEntitlementsCompletion& completion);

    static void EOS_CALL QueryEntitlementsCompleteCallbackFn(const EOS_Ecom_QueryEntitlementsCallbackInfo* data);
    void handleCallback(std::shared_ptr<std::vector<FEntitlementData>> result);
    static QueryEntitlementsService* getServiceFromClientData(void* clientData);

private:
    std::shared_ptr<QueryEntitlementsCompletion> completion_;
    std::shared_ptr<QueryEntitlementsService> self_;
    EOS_EpicAccountId accountId_ = nullptr;
};

}  // namespace VondSdk
