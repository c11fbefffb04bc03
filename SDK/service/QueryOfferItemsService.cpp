#include "service/QueryOfferItemsService.h"

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {
namespace {

const EosCallbackTexts kCallbackTexts{
    {{EosLogLine::Level::Error, "[EOS SDK] offer query completion without its service"}, {}},
    "[EOS SDK] offer query completion"};

}  // namespace

void QueryOfferItemsService::query(EOS_EpicAccountId accountId, std::vector<std::string> offerIds,
                                   const OfferItemsCompletion& completion) {
    if (!completion) return;
    completion_.hold(*this, completion);
    accountId_ = accountId;
    offerIds_ = std::move(offerIds);
    if (accountId_ == nullptr || !FPlatform::IsCreated()) {
        finish(nullptr);
        return;
    }
    FPlatform::RunOnTickThread([this, keep = completion_.keepAlive()] {
        EOS_HEcom ecom = FPlatform::GetEcomInterface();
        if (ecom == nullptr) {
            finish(nullptr);
            return;
        }
        EOS_Ecom_QueryOffersOptions options{};
        options.ApiVersion = EOS_ECOM_QUERYOFFERS_API_LATEST;
        options.LocalUserId = accountId_;
        options.OverrideCatalogNamespace = nullptr;
        EOS_Ecom_QueryOffers(ecom, &options, this, &QueryOfferItemsService::QueryOffersCompleteCallbackFn);
    });
}

void EOS_CALL
QueryOfferItemsService::QueryOffersCompleteCallbackFn(const EOS_Ecom_QueryOffersCallbackInfo* data) {
    CompleteFromEos<QueryOfferItemsService>(
        data, kCallbackTexts, [](QueryOfferItemsService& service, const EOS_Ecom_QueryOffersCallbackInfo& info) {
            // A cached offer with an invalid price still names its items.
            if (info.ResultCode != EOS_EResult::EOS_Success &&
                info.ResultCode != EOS_EResult::EOS_Ecom_CatalogOfferPriceInvalid) {
                LOG(ERROR) << "[EOS SDK] Query offers error: " << EOS_EResult_ToString(info.ResultCode);
                service.finish(nullptr);
                return;
            }
            EOS_HEcom ecom = FPlatform::GetEcomInterface();
            service.finish(ecom != nullptr ? service.readOfferItems(ecom) : nullptr);
        });
}

std::shared_ptr<OfferItems> QueryOfferItemsService::readOfferItems(EOS_HEcom ecom) const {
    auto items = std::make_shared<OfferItems>();
    for (const std::string& offerId : offerIds_) {
        EOS_Ecom_GetOfferItemCountOptions countOptions{};
        countOptions.ApiVersion = EOS_ECOM_GETOFFERITEMCOUNT_API_LATEST;
        countOptions.LocalUserId = accountId_;
        countOptions.OfferId = offerId.c_str();
        const uint32_t count = EOS_Ecom_GetOfferItemCount(ecom, &countOptions);
        std::vector<OfferItem> found;
        bool complete = true;
        for (uint32_t index = 0; index < count; ++index) {
            EOS_Ecom_CopyOfferItemByIndexOptions copyOptions{};
            copyOptions.ApiVersion = EOS_ECOM_COPYOFFERITEMBYINDEX_API_LATEST;
            copyOptions.LocalUserId = accountId_;
            copyOptions.OfferId = offerId.c_str();
            copyOptions.ItemIndex = index;
            EOS_Ecom_CatalogItem* item = nullptr;
            const EOS_EResult result = EOS_Ecom_CopyOfferItemByIndex(ecom, &copyOptions, &item);
            const bool usable = result == EOS_EResult::EOS_Success || result == EOS_EResult::EOS_Ecom_CatalogItemStale;
            if (usable && item != nullptr && item->Id != nullptr) {
                found.push_back(OfferItem{item->Id, item->EntitlementName != nullptr ? item->EntitlementName : ""});
            } else {
                complete = false;
            }
            if (item != nullptr) EOS_Ecom_CatalogItem_Release(item);
        }
        // An offer read only in part is left out: a missing item could be the one that matters
        // to another order, and half a list is not evidence of which.
        if (count > 0 && complete) (*items)[offerId] = std::move(found);
    }
    return items;
}

void QueryOfferItemsService::finish(std::shared_ptr<OfferItems> result) {
    completion_.finish(std::move(result));
}

}  // namespace VondSdk
