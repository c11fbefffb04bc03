#include "service/QueryEntitlementsService.h"

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {
namespace {

constexpr char kNoPlatform[] = "[EOS SDK] Can't Query Entitlements - Platform Not Initialized";

const EosCallbackTexts kCallbackTexts{
    {{EosLogLine::Level::Info, "[获取未消耗商品] 回调失败, ClientData 为空"},
     {EosLogLine::Level::Error, "获取未消耗商品回调失败, Service 为空"}},
    "[EOS SDK] entitlement query completion"};

}  // namespace

void QueryEntitlementsService::queryEntitlements(EOS_EpicAccountId accountId,
                                                 const QueryEntitlementsCompletion& completion) {
    if (!completion) return;
    completion_.hold(*this, completion);
    accountId_ = accountId;
    if (accountId_ == nullptr) {
        finish(nullptr);
        return;
    }
    if (!FPlatform::IsCreated()) {
        LOG(DEBUG) << kNoPlatform;
        finish(nullptr);
        return;
    }
    FPlatform::RunOnTickThread([this, keep = completion_.keepAlive()] {
        EOS_HEcom ecom = FPlatform::GetEcomInterface();
        if (ecom == nullptr) {
            LOG(DEBUG) << kNoPlatform;
            finish(nullptr);
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
    CompleteFromEos<QueryEntitlementsService>(
        data, kCallbackTexts,
        [](const EOS_Ecom_QueryEntitlementsCallbackInfo*) {
            LOG(DEBUG) << "[EOS SDK] Querying Entitlements Complete Callback";
        },
        [](QueryEntitlementsService& service, const EOS_Ecom_QueryEntitlementsCallbackInfo& info) {
            if (info.ResultCode != EOS_EResult::EOS_Success) {
                LOG(ERROR) << "[EOS SDK] Query entitlement error: " << EOS_EResult_ToString(info.ResultCode);
                service.finish(nullptr);
                return;
            }
            service.finish(service.readEntitlements());
        });
}

std::shared_ptr<std::vector<FEntitlementData>> QueryEntitlementsService::readEntitlements() const {
    EOS_HEcom ecom = FPlatform::GetEcomInterface();
    EOS_Ecom_GetEntitlementsCountOptions countOptions{};
    countOptions.ApiVersion = EOS_ECOM_GETENTITLEMENTSCOUNT_API_LATEST;
    countOptions.LocalUserId = accountId_;
    const uint32_t count = ecom != nullptr ? EOS_Ecom_GetEntitlementsCount(ecom, &countOptions) : 0;
    LOG(DEBUG) << "[EOS SDK] NumEntitlements: " << count;
    auto entitlements = std::make_shared<std::vector<FEntitlementData>>();
    entitlements->reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        EOS_Ecom_CopyEntitlementByIndexOptions copyOptions{};
        copyOptions.ApiVersion = EOS_ECOM_COPYENTITLEMENTBYINDEX_API_LATEST;
        copyOptions.LocalUserId = accountId_;
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
    return entitlements;
}

void QueryEntitlementsService::finish(std::shared_ptr<std::vector<FEntitlementData>> result) {
    if (!completion_.finish(std::move(result))) LOG(INFO) << "[获取未消耗商品] 回调失败, 回调方法为空";
}

}  // namespace VondSdk
