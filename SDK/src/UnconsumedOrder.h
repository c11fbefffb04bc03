// UnconsumedOrder: the store of orders whose entitlements are not yet redeemed (paid, or
// whose checkout has not settled), one JSON file per game and backend user; and OrderInfo,
// one purchase as the flow and the store keep it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"

namespace VondSdk {

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

// The player whose store holds an order's records: the order's user id when that is a number
// (an id read back from a file is never taken as a path), else empty (the current player).
std::string OwnStore(const std::string& userId);

// The fourteen-member order object of the store.
nlohmann::json OrderToJson(const OrderInfo& order);
// Reads all fourteen members; a missing or mistyped one raises nlohmann::json's type error.
std::shared_ptr<OrderInfo> OrderFromJson(const nlohmann::json& value);

// How a lookup in the store ended.
enum class StoredOrder { Absent, Found, Unreadable };

// A checkout whose outcome is not known yet, as the store keeps it.
struct PendingRecord {
    std::shared_ptr<OrderInfo> order;
    int64_t sinceMs = 0;  // when it was recorded (ms since 1970); 0 when an older build wrote it
    int64_t passes = 0;   // entitlement passes that found nothing for it
    // False when a torn store's loss came after it: a lost record may have bought its item.
    bool afterLoss = true;
};

// What the store held at one instant, for the login pass.
struct OrderSnapshot {
    // False while any record of this player cannot be read (the file, one entry, or a torn
    // store that was replaced): then nothing may be tied to an order by anything but its id.
    bool complete = true;
    bool readable = true;  // false when the file itself could not be read
    // Set when a torn store was replaced: records recorded before this instant (ms since
    // 1970) were lost with it; 0 when none were. Records after it are whole.
    int64_t lostBeforeMs = 0;
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
    // The same for a given player (empty: the core's current one). An order's own records go
    // to its player's store: a checkout that ends after its session did must not write into
    // the next session's player.
    std::string getConfigPath(const std::string& userId);
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
    // Of the given player's store (empty: the current one's).
    bool RemoveOrder(std::string entitlementId, const std::string& userId = std::string());
    // The stored order of an entitlement, or empty. An entry, or a store, that cannot be read
    // is logged and reported as Unreadable through state, never thrown.
    std::shared_ptr<OrderInfo> FindOrder(std::string entitlementId, StoredOrder* state = nullptr);

    // Orders created on the backend whose checkout has not settled, keyed by order id, with
    // the time they were recorded. A checkout that may still land (or a process that ends
    // during one) leaves its order here, so that its entitlement can be reported with it.
    bool AddPendingOrder(const OrderInfo& order);
    // One write: the order leaves the pending set and, when paid (entitlement id set), is
    // stored under its entitlement id.
    bool ClosePendingOrder(const std::shared_ptr<OrderInfo>& order);
    // The pending orders, oldest first.
    std::vector<std::shared_ptr<OrderInfo>> PendingOrders();
    // Everything readable, and whether anything was not.
    OrderSnapshot Snapshot();
    // Drops pending orders recorded before cutoffMs that at least minPasses entitlement passes
    // found nothing for, one log line each: age alone (a clock set forward) never drops one.
    bool DropPendingOlderThan(int64_t cutoffMs, int64_t minPasses);
    // One more pass found no entitlement for each of these pending orders.
    bool CountPassWithout(const std::vector<std::string>& orderIds);
    // One more pass found every entitlement of the player accounted for: counted on each
    // lost-records marker, which goes once it is older than cutoffMs and minPasses such passes
    // saw it. Sooner, a lost record's uncertain checkout could still land, and the pending
    // records recorded before the loss would then be taken for its order.
    bool ClearLostMarkers(int64_t cutoffMs, int64_t minPasses);
    // Writes the changes that could not reach the disk yet (a full disk, an unreadable store, a
    // store another process held); true when none remain. The order writer's thread.
    bool RetryDeferred();
    // True while changes wait in memory for a write. Any thread; never touches the disk.
    bool HasDeferred() const { return deferredCount_.load() != 0; }

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
    // One read-change-write under the cross-process lock; change returns false when it changed
    // nothing. A change that cannot reach the disk waits in memory for the next write of the
    // same store when deferOnFailure is set; otherwise it is dropped and false returned.
    // userId names the player's store (empty: the current one's).
    bool Mutate(const char* what, const std::function<bool(nlohmann::json&)>& change, bool deferOnFailure = true,
                const std::string& userId = std::string());
    // The same for one store's path (a null change writes only what was deferred). Caller holds mutex_.
    bool MutateAt(const std::string& path, const char* what, const std::function<bool(nlohmann::json&)>& change,
                  bool deferOnFailure);

    const std::string fileName_ = "UnconsumedOrder";
    // One read-modify-write at a time, whichever thread runs it.
    std::mutex mutex_;
    // Changes not yet on disk, by the store's path (another player's store never gets them);
    // guarded by mutex_.
    std::map<std::string, std::vector<std::function<bool(nlohmann::json&)>>> deferred_;
    std::atomic<size_t> deferredCount_{0};
};

}  // namespace VondSdk
