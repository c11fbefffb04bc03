// CVondPay: the product catalogue and the order flow, from the game's CallPay to the
// redemption of what was bought.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "http/CVondApi.h"
#include "http/CVondHttp.h"
#include "platform/Platform.h"
#include "service/EpicPayService.h"
#include "src/UnconsumedOrder.h"

namespace VondSdk {

// One product as the SDK keeps it (UTF-8).
struct ProductInfo {
    std::string productName;
    std::string productDesc;
    std::string productCurrencyCode;
    std::string productId;
    int32_t gameCurrencyAmount = 0;
    std::string channelProductId;
};

// The products of one product-list answer body that sell through the Epic channel, in the
// order the answer gives them (a later match of the same product id replaces the earlier).
// Raises nlohmann::json's errors for a body that is not JSON or has members of the wrong kind.
std::vector<ProductInfo> ParseProductList(const std::string& body);

class CVondPay {
public:
    static CVondPay& Instance();

    // Answers the game once with the product list: at once on the calling thread when the
    // table is loaded, otherwise on a pool worker after the product request. callback must
    // not be null.
    void QueryProducts(ResultCallback callback);

    // Starts one purchase (game's thread, after the core's checks). callback must not be
    // null; it is called exactly once, on the game's thread for an unknown product with the
    // table loaded, otherwise on a pool worker.
    void CreateOrder(std::string productId, std::string extInfo, ResultCallback callback);

    // Reports one order to the backend with status "1" (paid) or "0" and, when the backend
    // confirms a paid order, redeems its entitlement and removes it from the store (the
    // removal on the order writer). callback may be null (the login-time re-report). Called
    // on the ticking thread; a status-1 report of an entitlement holds its BeginReport, which
    // the report ends.
    void PayResult(std::string status, std::shared_ptr<OrderInfo> order, ResultCallback callback);

    // True while the checkout of this order runs in this process (from before its pending
    // record is written until its outcome is settled in the store).
    bool IsCheckingOut(const std::string& orderId) const;
    // The checkouts running in this process: offer id by order id.
    std::map<std::string, std::string> RunningCheckouts() const;
    // An entitlement whose order is being reported and redeemed by this process: BeginReport
    // is false when it already was. Any thread.
    bool BeginReport(const std::string& entitlementId);
    void EndReport(const std::string& entitlementId);
    bool IsReporting(const std::string& entitlementId) const;

    // A new play session in the same process: forgets the product table, and the checkouts and
    // reports of the session that ended (their results were dropped with it; the store keeps
    // what they settled, and the next login's pass reports it). Exit only.
    void ResetSession();

    // The cached result for the game: code 200, "Success" and the product list text.
    HttpResp BuildProductResult() const;
    // A copy of one product, false when the table has no such id.
    bool FindProduct(const std::string& productId, ProductInfo& product) const;

    // Values of the two requests of one order, read from the core and the tracker now.
    static CreateOrderParams MakeCreateOrderParams(const std::string& productId, const std::string& extInfo);
    static PayResultParams MakePayResultParams(const std::string& status, const OrderInfo& order,
                                               const std::string& accessToken, const std::string& sandboxId);
    // The pay-result data handed to the game.
    static std::string PayResultData(const OrderInfo& order, int32_t backendStatus);
    // The create-order answer read into a new order; raises nlohmann::json's errors.
    static std::shared_ptr<OrderInfo> OrderFromCreateOrderAnswer(const std::string& body,
                                                                 const ProductInfo& product,
                                                                 const std::string& extInfo);

private:
    CVondPay() = default;

    // Makes sure the table is loaded, then runs onReady; onFail gets the failed answer
    // (-501 for an answer that is not a readable product list).
    void LoadProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFail);
    void MergeProducts(const std::vector<ProductInfo>& products);
    void ContinueOrder(const std::string& productId, const std::string& extInfo, ResultCallback callback);
    void OnCreateOrder(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                       ResultCallback callback);
    void StartCheckout(std::shared_ptr<OrderInfo> order, ResultCallback callback);
    // Ticking thread. info empty: a definite failure. session: the one the checkout began in.
    void OnCheckout(std::shared_ptr<OrderInfo> order, std::shared_ptr<PayInfo> info, ResultCallback callback,
                    uint64_t session);
    // A checkout that ended after its session did: its outcome goes to its player's store only,
    // for that player's next entitlement pass to report.
    void KeepOutcomeOfEndedSession(std::shared_ptr<OrderInfo> order, bool definiteFailure);
    void EndCheckout(const std::string& orderId);
    void OnPayResult(const HttpResp& resp, std::shared_ptr<OrderInfo> order, bool success,
                     ResultCallback callback);
    // Consumes the entitlement, then removes its order from the store of the order's player.
    void Redeem(const std::string& entitlementId, const std::string& userId);

    mutable std::mutex checkoutsMutex_;
    std::map<std::string, std::string> checkouts_;  // offer id by order id; guarded by checkoutsMutex_
    std::set<std::string> reporting_;               // entitlement ids; guarded by checkoutsMutex_

    // The product table in order of first insertion; guarded by productsMutex_.
    mutable std::mutex productsMutex_;
    std::vector<ProductInfo> products_;
    std::unordered_map<std::string, size_t> productIndex_;
};

}  // namespace VondSdk
