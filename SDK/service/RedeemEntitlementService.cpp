#include "service/RedeemEntitlementService.h"

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {
namespace {

const EosCallbackTexts kCallbackTexts{
    {{EosLogLine::Level::Info, "[EOS SDK] 登录回调失败, ClientData 为空"},
     {EosLogLine::Level::Error, "消耗回调失败, Service 为空"}},
    "[EOS SDK] redemption completion"};

}  // namespace

void RedeemEntitlementService::redeem(EOS_EpicAccountId accountId, std::string entitlementId,
                                      const RedeemCompletion& completion) {
    if (!completion) return;
    completion_.hold(*this, completion);
    accountId_ = accountId;
    entitlementId_ = std::move(entitlementId);
    if (accountId_ == nullptr || FPlatform::GetPlatformHandle() == nullptr) {
        finish(false);
        return;
    }
    FPlatform::RunOnTickThread([this, keep = completion_.keepAlive()] {
        EOS_HEcom ecom = FPlatform::GetEcomInterface();
        if (ecom == nullptr) {
            finish(false);
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
    CompleteFromEos<RedeemEntitlementService>(
        data, kCallbackTexts,
        [](const EOS_Ecom_RedeemEntitlementsCallbackInfo* info) {
            if (info == nullptr) return;
            LOG(INFO) << "[EOS SDK] 消耗商品结果: RESULT: " << EOS_EResult_ToString(info->ResultCode)
                      << ", 消耗数量: " << info->RedeemedEntitlementIdsCount;
        },
        [](RedeemEntitlementService& service, const EOS_Ecom_RedeemEntitlementsCallbackInfo& info) {
            service.finish(info.ResultCode == EOS_EResult::EOS_Success);
        });
}

void RedeemEntitlementService::finish(bool redeemed) {
    if (!completion_.finish(redeemed)) LOG(INFO) << "[消耗商品] 回调失败, 回调方法为空";
}

}  // namespace VondSdk
