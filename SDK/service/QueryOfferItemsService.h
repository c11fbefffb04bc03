// QueryOfferItemsService: the catalogue items that given offers grant, read from EOS's offer
// cache. An entitlement whose CatalogItemId is one of an offer's items came from that offer.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "eos_ecom.h"
#include "service/EosCompletion.h"

namespace VondSdk {

struct OfferItem {
    std::string catalogItemId;
    std::string entitlementName;
};

// Items by offer id; an offer EOS does not know is absent. An empty pointer means the query
// failed, and nothing may be concluded from it.
using OfferItems = std::map<std::string, std::vector<OfferItem>>;
using OfferItemsCompletion = std::function<void(std::shared_ptr<OfferItems>)>;

// One query. Create in shared ownership (std::make_shared); the object keeps itself alive
// until its completion has run.
class QueryOfferItemsService : public std::enable_shared_from_this<QueryOfferItemsService> {
public:
    // Queries the offers of accountId's catalogue and reads the items of each of offerIds.
    // Any thread; EOS is called on the ticking thread. The completion is called exactly once:
    // at once on this thread when the account is null or there is no platform (not created
    // yet, or shut down); otherwise on the ticking thread inside UpdateSDKEvent, or, when EOS
    // is shut down before that tick, with an empty pointer on the thread that shuts it down.
    // An empty completion does nothing.
    void query(EOS_EpicAccountId accountId, std::vector<std::string> offerIds,
               const OfferItemsCompletion& completion);

private:
    static void EOS_CALL QueryOffersCompleteCallbackFn(const EOS_Ecom_QueryOffersCallbackInfo* data);
    // The items of offerIds_ in EOS's offer cache (ticking thread).
    std::shared_ptr<OfferItems> readOfferItems(EOS_HEcom ecom) const;
    void finish(std::shared_ptr<OfferItems> result);

    EosCompletion<QueryOfferItemsService, std::shared_ptr<OfferItems>> completion_;
    EOS_EpicAccountId accountId_ = nullptr;
    std::vector<std::string> offerIds_;
};

}  // namespace VondSdk
