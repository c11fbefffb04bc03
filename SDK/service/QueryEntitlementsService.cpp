#include "service/QueryEntitlementsService.h"

#include <exception>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {

void QueryEntitlementsService::queryEntitlements(EOS_EpicAccountId accountId,
                                                 const QueryEntitlementsCompletion& completion) {
    if (!completion) return;
    completion_ = std::make_shared<QueryEntitlementsCompletion>(completion);
    self_ = weak_from_this().lock();
    accountId_ = accountId;
    if (accountId_ == nullptr) {
        handleCallback(nullptr);
        return;
    }
    if (!FPlatform::IsCreated()) {
        LOG(DEBUG) << "[EOS SDK] Can't Query Entitlements - Platform Not Initialized";
        self_.reset();
        completion_.reset();
        completion(nullptr);
        return;
    }
    std::shared_ptr<QueryEntitlementsService> keep = self_;
    FPlatform::RunOnTickThread([this, keep] {
        EOS_HPlatform platform = FPlatform::GetPlatformHandle();
        EOS_HEcom ecom = platform != nullptr ? EOS_Platform_GetEcomInterface(platform) : nullptr;
        if (ecom == nullptr) {
            LOG(DEBUG) << "[EOS SDK] Can't Query Entitlements - Platform Not Initialized";
            handleCallback(nullptr);
            return;
        }
        LOG(DEBUG) << "[EOS SDK] Querying Entitlements";
        EOS_Ecom_QueryEntitlementsOptions options{};
        options.ApiVersion = EOS_ECOM_QUERYENTITLEMENTS_API_LATEST;
        options.LocalUserId = accountId_;
        options.EntitlementNames = nullptr;
        options.EntitlementNameCount = 0;
        options.bIncludeRedeemed = EOS_FALSE;
        EOS_Ecom_QueryEntitlements(ecom, &options, this, &QueryEntitlementsService::QueryEntitlementsCompleteCallbackFn);
    });
}

void EOS_CALL QueryEntitlementsService::QueryEntitlementsCompleteCallbackFn(
    const EOS_Ecom_QueryEntitlementsCallbackInfo* data) {
    try {
        LOG(DEBUG) << "[EOS SDK] Querying Entitlements Complete Callback";
        if (data == nullptr || data->ClientData == nullptr) {
            LOG(INFO) << "[获取未消耗商品] 回调失败, ClientData 为空";
            LOG(ERROR) << "获取未消耗商品回调失败, Service 为空";
            return;
        }
        QueryEntitlementsService* service = getServiceFromClientData(data->ClientData);
        if (data->ResultCode != EOS_EResult::EOS_Success) {
            LOG(ERROR) << "[EOS SDK] Query entitlement error: " << EOS_EResult_ToString(data->ResultCode);
            service->handleCallback(nullptr);
            return;
        }
        EOS_HEcom ecom = EOS_Platform_GetEcomInterface(FPlatform::GetPlatformHandle());
        EOS_Ecom_GetEntitlementsCountOptions countOptions{};
        countOptions.ApiVersion = EOS_ECOM_GETENTITLEMENTSCOUNT_API_LATEST;
        countOptions.LocalUserId = service->accountId_;
        const uint32_t count = ecom != nullptr ? EOS_Ecom_GetEntitlementsCount(ecom, &countOptions) : 0;
        LOG(DEBUG) << "[EOS SDK] NumEntitlements: " << count;
        auto entitlements = std::make_shared<std::vector<FEntitlementData>>();
        entitlements->reserve(count);
        for (uint32_t index = 0; index < count; ++index) {
            EOS_Ecom_CopyEntitlementByIndexOptions copyOptions{};
            copyOptions.ApiVersion = EOS_ECOM_COPYENTITLEMENTBYINDEX_API_LATEST;
            copyOptions.LocalUserId = service->accountId_;
            copyOptions.EntitlementIndex = index;
            EOS_Ecom_Entitlement* entitlement = nullptr;
            const EOS_EResult result = EOS_Ecom_CopyEntitlementByIndex(ecom, &copyOptions, &entitlement);
            // A stale record is still the account's entitlement; only the cached copy is old.
            const bool usable = result == EOS_EResult::EOS_Success || result == EOS_EResult::EOS_Ecom_EntitlementStale;
            if (!usable || entitlement == nullptr) {
                LOG(DEBUG) << "[EOS SDK] Entitlement[" << index << "] invalid : " << EOS_EResult_ToString(result);
                if (entitlement != nullptr) EOS_Ecom_Entitlement_Release(entitlement);
                continue;
            }
            FEntitlementData item;
            item.entitlementName = entitlement->EntitlementName != nullptr ? entitlement->EntitlementName : "";
            item.entitlementId = entitlement->EntitlementId != nullptr ? entitlement->EntitlementId : "";
            item.catalogItemId = entitlement->CatalogItemId != nullptr ? entitlement->CatalogItemId : "";
            item.redeemed = entitlement->bRedeemed != EOS_FALSE;
            LOG(DEBUG) << "[EOS SDK] Entitlement[" << index << "] : " << item.entitlementName << " : "
                       << item.entitlementId << " : " << (item.redeemed ? 1 : 0);
            entitlements->push_back(std::move(item));
            EOS_Ecom_Entitlement_Release(entitlement);
        }
        service->handleCallback(entitlements);
    } catch (const std::exception& e) {
        LOG(ERROR) << "[EOS SDK] entitlement query completion failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "[EOS SDK] entitlement query completion failed";
    }
}

void QueryEntitlementsService::handleCallback(std::shared_ptr<std::vector<FEntitlementData>> result) {
    std::shared_ptr<QueryEntitlementsCompletion> completion = std::move(completion_);
    std::shared_ptr<QueryEntitlementsService> keep = std::move(self_);
    if (!completion || !*completion) {
        LOG(INFO) << "[获取未消耗商品] 回调失败, 回调方法为空";
        return;
    }
    (*completion)(std::move(result));
}

QueryEntitlementsService* QueryEntitlementsService::getServiceFromClientData(void* clientData) {
    return static_cast<QueryEntitlementsService*>(clientData);
}

}  // namespace VondSdk
