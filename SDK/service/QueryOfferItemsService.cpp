#include "service/QueryOfferItemsService.h"

#include <exception>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {

void QueryOfferItemsService::query(EOS_EpicAccountId accountId, std::vector<std::string> offerIds,
                                   const OfferItemsCompletion& completion) {
    if (!completion) return;
    completion_ = std::make_shared<OfferItemsCompletion>(completion);
    self_ = weak_from_this().lock();
    accountId_ = accountId;
    offerIds_ = std::move(offerIds);
    if (accountId_ == nullptr || !FPlatform::IsCreated()) {
        finish(nullptr);
        return;
    }
    std::shared_ptr<QueryOfferItemsService> keep = self_;
    FPlatform::RunOnTickThread([this, keep] {
        EOS_HPlatform platform = FPlatform::GetPlatformHandle();
        EOS_HEcom ecom = platform != nullptr ? EOS_Platform_GetEcomInterface(platform) : nullptr;
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
    try {
        if (data == nullptr || data->ClientData == nullptr) {
            LOG(ERROR) << "[EOS SDK] offer query completion without its service";
            return;
        }
        auto* service = static_cast<QueryOfferItemsService*>(data->ClientData);
        // A cached offer with an invalid price still names its items.
        if (data->ResultCode != EOS_EResult::EOS_Success &&
            data->ResultCode != EOS_EResult::EOS_Ecom_CatalogOfferPriceInvalid) {
            LOG(ERROR) << "[EOS SDK] Query offers error: " << EOS_EResult_ToString(data->ResultCode);
            service->finish(nullptr);
            return;
        }
        EOS_HPlatform platform = FPlatform::GetPlatformHandle();
        EOS_HEcom ecom = platform != nullptr ? EOS_Platform_GetEcomInterface(platform) : nullptr;
        if (ecom == nullptr) {
            service->finish(nullptr);
            return;
        }
        auto items = std::make_shared<OfferItems>();
        for (const std::string& offerId : service->offerIds_) {
            EOS_Ecom_GetOfferItemCountOptions countOptions{};
            countOptions.ApiVersion = EOS_ECOM_GETOFFERITEMCOUNT_API_LATEST;
            countOptions.LocalUserId = service->accountId_;
            countOptions.OfferId = offerId.c_str();
            const uint32_t count = EOS_Ecom_GetOfferItemCount(ecom, &countOptions);
            std::vector<OfferItem> found;
            bool complete = true;
            for (uint32_t index = 0; index < count; ++index) {
                EOS_Ecom_CopyOfferItemByIndexOptions copyOptions{};
                copyOptions.ApiVersion = EOS_ECOM_COPYOFFERITEMBYINDEX_API_LATEST;
                copyOptions.LocalUserId = service->accountId_;
                copyOptions.OfferId = offerId.c_str();
                copyOptions.ItemIndex = index;
                EOS_Ecom_CatalogItem* item = nullptr;
                const EOS_EResult result = EOS_Ecom_CopyOfferItemByIndex(ecom, &copyOptions, &item);
                const bool usable =
                    result == EOS_EResult::EOS_Success || result == EOS_EResult::EOS_Ecom_CatalogItemStale;
                if (usable && item != nullptr && item->Id != nullptr) {
                    found.push_back(
                        OfferItem{item->Id, item->EntitlementName != nullptr ? item->EntitlementName : ""});
                } else {
                    complete = false;
                }
                if (item != nullptr) EOS_Ecom_CatalogItem_Release(item);
            }
            // An offer read only in part is left out: a missing item could be the one that matters
            // to another order, and half a list is not evidence of which.
            if (count > 0 && complete) (*items)[offerId] = std::move(found);
        }
        service->finish(items);
    } catch (const std::exception& e) {
        LOG(ERROR) << "[EOS SDK] offer query completion failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "[EOS SDK] offer query completion failed";
    }
}

void QueryOfferItemsService::finish(std::shared_ptr<OfferItems> result) {
    std::shared_ptr<OfferItemsCompletion> completion = std::move(completion_);
    std::shared_ptr<QueryOfferItemsService> keep = std::move(self_);
    if (completion && *completion) (*completion)(std::move(result));
}

}  // namespace VondSdk
