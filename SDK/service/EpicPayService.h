// EpicPayService: the Epic checkout of one catalogue offer.
#pragma once

#include <memory>
#include <string>

#include "eos_ecom.h"
#include "service/EosCompletion.h"

namespace VondSdk {

struct PaymentItem {
    std::string offerId;  // EOS catalogue offer id
};

// The outcome of a checkout that may have taken the player's money; an empty pointer means a
// definite failure (cancelled, offer refused, never started).
struct PayInfo {
    std::string entitlementId;  // the first entitlement of the transaction
    std::string transactionId;
    // True when the money may have moved but the entitlement is not known (the overlay closed
    // while processing, a result this SDK does not know, a transaction or entitlement that
    // cannot be copied after success): the entitlement may appear in a later query.
    bool uncertain = false;
};

// Whether a checkout result other than success may still end in a purchase.
bool CheckoutMayHavePaid(EOS_EResult result);

using PayCompletion = std::function<void(std::shared_ptr<PayInfo>)>;

// One checkout. Create in shared ownership (std::make_shared); the object keeps itself alive
// until its completion has run.
class EpicPayService : public std::enable_shared_from_this<EpicPayService> {
public:
    // Starts the checkout of item.offerId for accountId (the logged-in account). Any thread.
    // The completion is called exactly once per accepted call: on this thread at once when
    // another checkout runs, the offer id is empty, the account is null or there is no
    // platform; otherwise on the ticking thread inside UpdateSDKEvent, or, when EOS is shut
    // down before that tick, with an empty pointer on the thread that shuts it down. An empty
    // completion makes the call do nothing.
    void pay(EOS_EpicAccountId accountId, PaymentItem& item, const PayCompletion& completion);

    // True from an accepted pay until it ends; cleared just before its completion is called,
    // so that the completion may start the next checkout. Any thread.
    static bool isPaying();

private:
    static void EOS_CALL CheckoutCompleteCallbackFn(const EOS_Ecom_CheckoutCallbackInfo* data);
    // What a successful checkout granted: the first entitlement of transactionId (ticking thread).
    std::shared_ptr<PayInfo> readPurchase(const char* transactionId) const;
    // Ends the checkout: clears the paying flag and calls the stored completion.
    void finish(std::shared_ptr<PayInfo> result);

    EosCompletion<EpicPayService, std::shared_ptr<PayInfo>> completion_;
    EOS_EpicAccountId accountId_ = nullptr;
    std::string offerId_;
};

}  // namespace VondSdk
