#include "service/RedeemEntitlementService.h"

#include <exception>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {

void RedeemEntitlementService::redeem(EOS_EpicAccountId accountId, std::string entitlementId,
                                      const RedeemCompletion& completion) {
    if (!completion) return;
    completion_ = std::make_shared<RedeemCompletion>(completion);
    self_ = weak_from_this().lock();
    accountId_ = accountId;
    entitlementId_ = std::move(entitlementId);
    if (accountId_ == nullptr || FPlatform::GetPlatformHandle() == nullptr) {
        handleCallback(false);
        return;
    }
    std::shared_ptr<RedeemEntitlementService> keep = self_;
    FPlatform::RunOnTickThread([this, keep] {
        EOS_HPlatform platform = FPlatform::GetPlatformHandle();
        EOS_HEcom ecom = platform != nullptr ? EOS_Platform_GetEcomInterface(platform) : nullptr;
        if (ecom == nullptr) {
            handleCallback(false);
            return;
        }
        EOS_Ecom_EntitlementId ids[1] = {entitlementId_.c_str()};
        EOS_Ecom_RedeemEntitlementsOptions options{};
        options.ApiVersion = EOS_ECOM_REDEEMENTITLEMENTS_API_LATEST;
        options.LocalUserId = accountId_;
        options.EntitlementIdCount = 1;
        options.EntitlementIds = ids;
        EOS_Ecom_RedeemEntitlements(ecom, &options, this, &RedeemEntitlementService::RedeemEntitlementsCallback);
    });
}

void EOS_CALL RedeemEntitlementService::RedeemEntitlementsCallback(const EOS_Ecom_RedeemEntitlementsCallbackInfo* data) {
    try {
        if (data == nullptr) return;
        LOG(INFO) << "[EOS SDK] 消耗商品结果: RESULT: " << EOS_EResult_ToString(data->ResultCode)
                  << ", 消耗数量: " << data->RedeemedEntitlementIdsCount;
        if (data->ClientData == nullptr) {
            LOG(INFO) << "[EOS SDK] 登录回调失败, ClientData 为空";
            LOG(ERROR) << "消耗回调失败, Service 为空";
            return;
        }
        getServiceFromClientData(data->ClientData)->handleCallback(data->ResultCode == EOS_EResult::EOS_Success);
    } catch (const std::exception& e) {
        LOG(ERROR) << "[EOS SDK] redemption completion failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "[EOS SDK] redemption completion failed";
    }
}

void RedeemEntitlementService::handleCallback(bool redeemed) {
    std::shared_ptr<RedeemCompletion> completion = std::move(completion_);
    std::shared_ptr<RedeemEntitlementService> keep = std::move(self_);
    if (!completion || !*completion) {
        LOG(INFO) << "[消耗商品] 回调失败, 回调方法为空";
        return;
    }
    (*completion)(redeemed);
}

RedeemEntitlementService* RedeemEntitlementService::getServiceFromClientData(void* clientData) {
    return static_cast<RedeemEntitlementService*>(clientData);
}

}  // namespace VondSdk
