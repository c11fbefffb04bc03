// CVondPay: the product catalogue and the order flow, from the game's CallPay to the
// redemption of what was bought; UnconsumedOrder: the store of paid orders whose
// entitlements are not yet redeemed, one JSON file per game and backend user.
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

// A checkout whose outcome is not known yet, as the store keeps it.
struct PendingRecord {
    std::shared_ptr<OrderInfo> order;
    int64_t sinceMs = 0;  // when it was recorded (ms since 1970); 0 when an older build wrote it
};

// What the store held at one instant, for the login pass.
struct OrderSnapshot {
    // False while any record of this player cannot be read (the file, one entry, or a torn
    // store that was replaced): then nothing may be tied to an order by anything but its id.
    bool complete = true;
    bool readable = true;  // false when the file itself could not be read
    std::map<std::string, std::shared_ptr<OrderInfo>> stored;  // by entitlement id
    std::set<std::string> unreadable;                          // entitlement ids of unreadable entries
    std::vector<PendingRecord> pending;                        // oldest first
};

// All reads tell found, absent and error apart; after an error nothing is written over the
// file: the change is kept in memory and applied at the next write whose read succeeds.
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

    // Stores the order under its entitlement id; an empty order or id is not stored. A torn
    // store is kept aside first and its whole entries carried over. True when on disk.
    bool AddOrder(std::shared_ptr<OrderInfo> order);
    bool RemoveOrder(std::string entitlementId);
    // The stored order of an entitlement, or empty. An entry, or a store, that cannot be read
    // is logged and reported as Unreadable through state, never thrown.
    std::shared_ptr<OrderInfo> FindOrder(std::string entitlementId, StoredOrder* state = nullptr);

    // Orders created on the backend whose checkout has not settled, keyed by order id, with
    // the time they were recorded. A checkout that may still land (or a process that ends
    // during one) leaves its order here, so that its entitlement can be reported with it.
    bool AddPendingOrder(const OrderInfo& order);
    // One write: the order leaves the pending set and, when paid (entitlement id set), is
    // stored under its entitlement id.
    bool SettlePendingOrder(const std::shared_ptr<OrderInfo>& order);
    // The pending orders, oldest first.
    std::vector<std::shared_ptr<OrderInfo>> PendingOrders();
    // Everything readable, and whether anything was not.
    OrderSnapshot Snapshot();
    // Drops pending orders recorded before cutoffMs, one log line each.
    bool DropPendingOlderThan(int64_t cutoffMs);

private:
    UnconsumedOrder() = default;

    struct Loaded {
        platform::ReadResult read = platform::ReadResult::Absent;
        nlohmann::json document;  // an object; null after a read error
        bool torn = false;        // the file is not a JSON object: document holds what was salvaged
        std::string raw;          // the torn file's bytes
    };
    // Caller holds mutex_.
    Loaded Load(const std::string& path);
    // Writes the document, first keeping a torn old file aside. Caller holds mutex_.
    bool Store(const std::string& path, const Loaded& old, nlohmann::json& document);
    // One read-change-write; change returns false when it changed nothing.
    bool Mutate(const char* what, const std::function<bool(nlohmann::json&)>& change);

    const std::string fileName_ = "UnconsumedOrder";
    // One read-modify-write at a time, whichever thread runs it.
    std::mutex mutex_;
    // Changes not yet on disk because the file could not be read; guarded by mutex_.
    std::vector<std::function<bool(nlohmann::json&)>> deferred_;
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
    void QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFail);
    void MergeProducts(const std::vector<ProductInfo>& products);
    void ContinueOrder(const std::string& productId, const std::string& extInfo, ResultCallback callback);
    void OnCreateOrder(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                       ResultCallback callback);
    void StartCheckout(std::shared_ptr<OrderInfo> order, ResultCallback callback);
    // Ticking thread. info empty: a definite failure.
    void OnCheckout(std::shared_ptr<OrderInfo> order, std::shared_ptr<PayInfo> info, ResultCallback callback);
    void EndCheckout(const std::string& orderId);
    void OnPayResult(const HttpResp& resp, std::shared_ptr<OrderInfo> order, bool success,
                     ResultCallback callback);
    void Redeem(const std::string& entitlementId);

    mutable std::mutex checkoutsMutex_;
    std::map<std::string, std::string> checkouts_;  // offer id by order id; guarded by checkoutsMutex_
    std::set<std::string> reporting_;               // entitlement ids; guarded by checkoutsMutex_

    // The product table in order of first insertion; guarded by productsMutex_.
    mutable std::mutex productsMutex_;
    std::vector<ProductInfo> products_;
    std::unordered_map<std::string, size_t> productIndex_;
};

}  // namespace VondSdk
