// The server's durable state in SQLite: users, orders with their status history,
// attribution per client id, tracking events and apps registered at run time. Every change
// is one transaction, so a server killed at any moment keeps every answered order, and two
// servers (or two threads) reporting the same payment settle it once.
#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace devserver {

struct OrderRecord {
    std::string orderId;
    std::string appId;
    int64_t userId = -1;
    std::string productId;
    std::string productName;
    std::string channelProductId;
    std::string defaultCurrency;
    int64_t defaultAmountMicro = 0;
    int64_t virtualCoinAmount = 0;
    std::string virtualCurrency;
    std::string extInfo;
    std::string serverId;
    std::string gameUserId;
    std::string nickName;
    std::string status;  // "created", "paid"
};

enum class Settlement {
    Paid,     // this report settled the order
    Repeat,   // the order was already paid; recorded, not paid again
    NotPaid,  // a status "0" report
};

// All members may be called from any thread; one connection serialised by a mutex.
class Store {
public:
    // Opens (creating when needed) the database file. Throws std::runtime_error.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The backend user id of an Epic account: known, configured (configuredId), or the next
    // free one from firstUserId. Stores token as the account's latest.
    int64_t LoginUser(const std::string& epicAccountId, std::optional<int64_t> configuredId,
                      int64_t firstUserId, const std::string& token);
    bool UserExists(int64_t userId);

    // Stores a new order (status "created") and returns its id.
    std::string CreateOrder(OrderRecord order);
    // The Epic account that logged in as userId, if any.
    std::optional<std::string> EpicAccountOfUser(int64_t userId);
    // Ties an entitlement to the order of the app it paid for; false when another order of the
    // app holds it already. Each app is a game of its own, with entitlements of its own.
    bool ClaimEntitlement(const std::string& appId, const std::string& entitlementId, const std::string& orderId);
    std::optional<OrderRecord> FindOrder(const std::string& appId, const std::string& orderId);
    // Records one pay-result report for the order and settles it at most once.
    Settlement ReportPayment(const std::string& orderId, const std::string& status, const std::string& trxId,
                             const std::string& payAmountMicros);

    // True when this is the client id's first attribution for the app.
    bool RecordAttribution(const std::string& appId, const std::string& clientId, const std::string& form);
    // Records an event once per (appId, deviceId, eventOrder); a repeat is only counted, and
    // false returned. An event without a device id or number is always recorded.
    bool AddEvent(const std::string& appId, const std::string& deviceId, const std::string& eventOrder,
                  const std::string& body);
    // Repeats counted so far for the app (every app with an empty appId).
    int64_t EventRepeats(const std::string& appId);

    void SaveApp(const std::string& appId, const std::string& json);
    std::vector<std::pair<std::string, std::string>> LoadApps();

    // Admin views, oldest first; an empty appId means every app.
    nlohmann::json Orders(const std::string& appId);
    nlohmann::json Events(const std::string& appId);
    // Forgets orders, events and attribution of one app (or all, with an empty appId).
    void Reset(const std::string& appId);

private:
    std::mutex mutex_;  // guards db_ and every statement on it
    sqlite3* db_ = nullptr;
};

}  // namespace devserver
