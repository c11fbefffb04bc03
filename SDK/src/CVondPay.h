// CVondPay: the product catalogue and the order flow, from the game's CallPay to the
// redemption of what was bought; UnconsumedOrder: the store of paid orders whose
// entitlements are not yet redeemed, one JSON file per game and backend user.
#pragma once

#include <cstdint>
#include <functional>
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

// One purchase from its creation on the backend to its report; also the unit of the store.
struct OrderInfo {
    std::string userId;
    std::string serverId;
    std::string gameUserId;
    std::string productId;
    std::string channelProductId;
    std::string orderId;
    std::string productName;
    std::string defaultCurrency;
    int64_t defaultAmountMicro = 0;
    int64_t virtualCoinAmount = 0;
    std::string virtualCurrency;
    std::string extInfo;
    std::string epicTransId;
    std::string epicEntitlementId;
};

// The fourteen-member order object of the store.
nlohmann::json OrderToJson(const OrderInfo& order);
// Reads all fourteen members; a missing or mistyped one raises nlohmann::json's type error.
std::shared_ptr<OrderInfo> OrderFromJson(const nlohmann::json& value);

// The products of one product-list answer body that sell through the Epic channel, in the
// order the answer gives them (a later match of the same product id replaces the earlier).
// Raises nlohmann::json's errors for a body that is not JSON or has members of the wrong kind.
std::vector<ProductInfo> ParseProductList(const std::string& body);

// How a lookup in the store ended.
enum class StoredOrder { Absent, Found, Unreadable };

class UnconsumedOrder {
public:
    // The one store object; safe to call first from any thread.
    static UnconsumedOrder& getInstance();

    // <data directory>/<appId>/<userId>/UnconsumedOrder for the core's current app and user,
    // with the folder chain created (a failure is logged; the path is returned either way).
    std::string getConfigPath();
    // Creates the folder and every missing folder above it; true when it exists afterwards.
    static bool CreateDirectories(const std::string& path);

    // The whole stored document; JSON null when there is no readable file.
    std::shared_ptr<nlohmann::json> ReadJson();
    // Replaces the file with the document: atomically and flushed to disk, so a process that
    // is killed at any instant leaves either the old or the new document.
    void WriteCofnigJson(std::shared_ptr<nlohmann::json> document);

    // Stores the order under its entitlement id; an empty order or id is not stored. A store
    // that cannot be read is kept aside under a new name first. True when the order is on disk.
    bool AddOrder(std::shared_ptr<OrderInfo> order);
    void RemoveOrder(std::string entitlementId);
    // The stored order of an entitlement, or empty. An entry that cannot be read is logged
    // and reported as Unreadable through state, never thrown.
    std::shared_ptr<OrderInfo> FindOrder(std::string entitlementId, StoredOrder* state = nullptr);

    // Orders created on the backend whose checkout has not answered yet, keyed by order id.
    // A process that ends during a checkout leaves its order here, so that an entitlement
    // the checkout produced can still be reported with it at the next login.
    bool AddPendingOrder(const OrderInfo& order);
    // One write: the order leaves the pending set and, when paid (entitlement id set), is
    // stored under its entitlement id.
    bool SettlePendingOrder(const std::shared_ptr<OrderInfo>& order);
    // The pending orders, oldest first.
    std::vector<std::shared_ptr<OrderInfo>> PendingOrders();

private:
    UnconsumedOrder() = default;

    struct Loaded {
        nlohmann::json document;  // an object, or null when there is no usable store
        std::string raw;          // the file's bytes when they are not a usable store
        bool exists = false;
    };
    Loaded Load(const std::string& path);
    // Writes the document, first keeping an unusable old file aside.
    bool Store(const std::string& path, const Loaded& old, const nlohmann::json& document);

    const std::string fileName_ = "UnconsumedOrder";
    // One read-modify-write at a time, whichever thread runs it.
    std::mutex mutex_;
};

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
    // confirms a paid order, redeems its entitlement and removes it from the store. callback
    // may be null (the login-time re-report). Called on the ticking thread.
    void PayResult(std::string status, std::shared_ptr<OrderInfo> order, ResultCallback callback);

    // True while the checkout of this order runs in this process.
    bool IsCheckingOut(const std::string& orderId) const;

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
    void QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFail);
    void MergeProducts(const std::vector<ProductInfo>& products);
    void ContinueOrder(const std::string& productId, const std::string& extInfo, ResultCallback callback);
    void OnCreateOrder(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                       ResultCallback callback);
    void StartCheckout(std::shared_ptr<OrderInfo> order, ResultCallback callback);
    void OnCheckout(std::shared_ptr<OrderInfo> order, bool paid, ResultCallback callback);
    void OnPayResult(const HttpResp& resp, std::shared_ptr<OrderInfo> order, bool success,
                     ResultCallback callback);
    void Redeem(const std::string& entitlementId);

    mutable std::mutex checkoutsMutex_;
    std::set<std::string> checkouts_;  // order ids; guarded by checkoutsMutex_

    // The product table in order of first insertion; guarded by productsMutex_.
    mutable std::mutex productsMutex_;
    std::vector<ProductInfo> products_;
    std::unordered_map<std::string, size_t> productIndex_;
};

}  // namespace VondSdk
