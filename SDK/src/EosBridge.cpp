#include "src/EosBridge.h"

#include "service/EosPlatform.h"
#include "service/EpicLoginService.h"
#include "service/EpicSdkService.h"
#include "service/RedeemEntitlementService.h"

namespace VondSdk {
namespace eosbridge {

void RunOnTickThread(std::function<void()> work) {
    FPlatform::RunOnTickThread(std::move(work));
}

void Checkout(const std::string& offerId, PayCompletion done) {
    PaymentItem item{offerId};
    std::make_shared<EpicPayService>()->pay(EpicLoginService::getLoggedInAccountId(), item, done);
}

void RedeemEntitlement(const std::string& entitlementId, std::function<void(bool)> done) {
    RedeemCompletion completion = std::move(done);
    std::make_shared<RedeemEntitlementService>()->redeem(EpicLoginService::getLoggedInAccountId(), entitlementId,
                                                         completion);
}

void QueryEntitlements(QueryEntitlementsCompletion done) {
    std::make_shared<QueryEntitlementsService>()->queryEntitlements(EpicLoginService::getLoggedInAccountId(), done);
}

void QueryOfferItems(std::vector<std::string> offerIds, OfferItemsCompletion done) {
    std::make_shared<QueryOfferItemsService>()->query(EpicLoginService::getLoggedInAccountId(), std::move(offerIds),
                                                      done);
}

std::string AccessToken() {
    return EpicLoginService::getAccessToken();
}

std::string SandboxId() {
    std::shared_ptr<const EosGameInfo> info = EpicSdkService::currentGameInfo();
    return info ? info->sandboxId : std::string();
}

}  // namespace eosbridge
}  // namespace VondSdk
