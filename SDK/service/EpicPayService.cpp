#include "service/EpicPayService.h"

#include <atomic>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"

namespace VondSdk {
namespace {

constexpr char kNotInitialised[] = "EOS SDK 未初始化或初始化失败";

std::atomic<bool> g_paying{false};

const EosCallbackTexts kCallbackTexts{
    {{EosLogLine::Level::Info, "[EOS SDK] 登录回调失败, ClientData 为空"},
     {EosLogLine::Level::Error, "支付回调失败, Service 为空"}},
    "[EOS SDK] checkout completion"};

// The checkout's transaction id, or "" when EOS gives none.
const char* TransactionIdOf(const EOS_Ecom_CheckoutCallbackInfo* info) {
    return (info != nullptr && info->TransactionId != nullptr) ? info->TransactionId : "";
}

std::shared_ptr<PayInfo> Uncertain(const std::string& transactionId) {
    auto info = std::make_shared<PayInfo>();
    info->transactionId = transactionId;
    info->uncertain = true;
    return info;
}

}  // namespace

bool CheckoutMayHavePaid(EOS_EResult result) {
    switch (result) {
        // Refusals before or instead of a purchase: nothing was bought.
        case EOS_EResult::EOS_Canceled:
        case EOS_EResult::EOS_Ecom_CheckoutLoadError:
        case EOS_EResult::EOS_Ecom_CatalogOfferStale:
        case EOS_EResult::EOS_Ecom_CatalogOfferPriceInvalid:
        case EOS_EResult::EOS_InvalidParameters:
        case EOS_EResult::EOS_InvalidUser:
        case EOS_EResult::EOS_InvalidAuth:
        case EOS_EResult::EOS_NotConfigured:
        case EOS_EResult::EOS_AlreadyPending:
            return false;
        default:
            // Success, EOS_Ecom_PurchaseProcessing and any result this build does not know.
            return true;
    }
}

void EpicPayService::pay(EOS_EpicAccountId accountId, PaymentItem& item, const PayCompletion& completion) {
    if (!completion) return;
    bool idle = false;
    if (!g_paying.compare_exchange_strong(idle, true)) {
        LOG(INFO) << "Is Paying";
        completion(nullptr);
        return;
    }
    completion_.hold(*this, completion);
    accountId_ = accountId;
    offerId_ = item.offerId;
    if (offerId_.empty()) {
        LOG(INFO) << "支付失败, Item.offerId 为空";
        finish(nullptr);
        return;
    }
    if (accountId_ == nullptr) {
        LOG(INFO) << "支付失败, accountId 为空";
        finish(nullptr);
        return;
    }
    if (FPlatform::GetPlatformHandle() == nullptr) {
        LOG(INFO) << kNotInitialised;
        finish(nullptr);
        return;
    }
    FPlatform::RunOnTickThread([this, keep = completion_.keepAlive()] {
        EOS_HEcom ecom = FPlatform::GetEcomInterface();
        if (ecom == nullptr) {
            LOG(INFO) << kNotInitialised;
            finish(nullptr);
            return;
        }
        LOG(DEBUG) << "[EOS SDK] 支付下单中, productId: " << offerId_;
        EOS_Ecom_CheckoutEntry entry{};
        entry.ApiVersion = EOS_ECOM_CHECKOUTENTRY_API_LATEST;
        entry.OfferId = offerId_.c_str();
        EOS_Ecom_CheckoutOptions options{};
        options.ApiVersion = EOS_ECOM_CHECKOUT_API_LATEST;
        options.LocalUserId = accountId_;
        options.OverrideCatalogNamespace = nullptr;
        options.EntryCount = 1;
        options.Entries = &entry;
        EOS_Ecom_Checkout(ecom, &options, this, &EpicPayService::CheckoutCompleteCallbackFn);
    });
}

void EOS_CALL EpicPayService::CheckoutCompleteCallbackFn(const EOS_Ecom_CheckoutCallbackInfo* data) {
    CompleteFromEos<EpicPayService>(
        data, kCallbackTexts,
        [](const EOS_Ecom_CheckoutCallbackInfo* info) {
            LOG(INFO) << "[EOS SDK] 支付回调: TransactionId: " << TransactionIdOf(info);
        },
        [](EpicPayService& service, const EOS_Ecom_CheckoutCallbackInfo& info) {
            const char* transactionId = TransactionIdOf(&info);
            if (info.ResultCode != EOS_EResult::EOS_Success) {
                LOG(INFO) << "[EOS SDK] 支付失败: resultCode: " << EOS_EResult_ToString(info.ResultCode);
                service.finish(CheckoutMayHavePaid(info.ResultCode) ? Uncertain(transactionId) : nullptr);
                return;
            }
            LOG(INFO) << "[EOS SDK] 支付成功: TransactionId: " << transactionId;
            service.finish(service.readPurchase(transactionId));
        });
}

std::shared_ptr<PayInfo> EpicPayService::readPurchase(const char* transactionId) const {
    EOS_HEcom ecom = FPlatform::GetEcomInterface();
    EOS_Ecom_CopyTransactionByIdOptions copyOptions{};
    copyOptions.ApiVersion = EOS_ECOM_COPYTRANSACTIONBYID_API_LATEST;
    copyOptions.LocalUserId = accountId_;
    copyOptions.TransactionId = transactionId;
    EOS_Ecom_HTransaction transaction = nullptr;
    if (ecom == nullptr || EOS_Ecom_CopyTransactionById(ecom, &copyOptions, &transaction) != EOS_EResult::EOS_Success ||
        transaction == nullptr) {
        // Paid, but what was granted cannot be read here: a later query will show it.
        LOG(INFO) << "[EOS SDK] 获取 Transaction 失败";
        return Uncertain(transactionId);
    }
    EOS_Ecom_Transaction_GetEntitlementsCountOptions countOptions{};
    countOptions.ApiVersion = EOS_ECOM_TRANSACTION_GETENTITLEMENTSCOUNT_API_LATEST;
    EOS_Ecom_Transaction_GetEntitlementsCount(transaction, &countOptions);
    EOS_Ecom_Transaction_CopyEntitlementByIndexOptions entitlementOptions{};
    entitlementOptions.ApiVersion = EOS_ECOM_TRANSACTION_COPYENTITLEMENTBYINDEX_API_LATEST;
    entitlementOptions.EntitlementIndex = 0;
    EOS_Ecom_Entitlement* entitlement = nullptr;
    const EOS_EResult copied = EOS_Ecom_Transaction_CopyEntitlementByIndex(transaction, &entitlementOptions, &entitlement);
    if (copied != EOS_EResult::EOS_Success || entitlement == nullptr) {
        LOG(INFO) << "[EOS SDK] 获取 Entitlement 失败";
        if (entitlement != nullptr) EOS_Ecom_Entitlement_Release(entitlement);
        EOS_Ecom_Transaction_Release(transaction);
        return Uncertain(transactionId);
    }
    auto info = std::make_shared<PayInfo>();
    info->entitlementId = entitlement->EntitlementId != nullptr ? entitlement->EntitlementId : "";
    info->transactionId = transactionId;
    EOS_Ecom_Entitlement_Release(entitlement);
    EOS_Ecom_Transaction_Release(transaction);
    LOG(INFO) << "[EOS SDK] 获取 Entitlement : " << info->entitlementId;
    return info;
}

void EpicPayService::finish(std::shared_ptr<PayInfo> result) {
    if (!g_paying.exchange(false)) {
        LOG(INFO) << "支付回调失败, 不在支付中";
        return;
    }
    if (!completion_.finish(std::move(result))) LOG(INFO) << "支付回调失败, 回调方法为空";
}

bool EpicPayService::isPaying() {
    return g_paying.load();
}

}  // namespace VondSdk
