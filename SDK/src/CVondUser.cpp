#include "src/CVondUser.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "easylogging++.h"
#include "http/CVondApi.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "src/CVondTrack.h"
#include "src/EosBridge.h"
#include "src/OrderWriter.h"
#include "src/ResultCodes.h"
#include "utils/VondLogging.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

using nlohmann::json;


constexpr int64_t kPendingLifetimeMs = int64_t(30) * 24 * 60 * 60 * 1000;
// A pending order also needs this many passes that found nothing for it before it may go: a
// clock set forward ages it at once, but cannot fake the player's logins.
constexpr int64_t kPassesBeforeDrop = 10;

// After a checkout whose outcome is unknown, the entitlements are queried again at these
// delays (the purchase may land a little later); VOND_SDK_RECHECK_MS replaces them
// ("100,300" in tests).
std::vector<std::chrono::milliseconds> RecheckDelays() {
    std::vector<std::chrono::milliseconds> delays;
    std::string text;
    if (platform::GetEnv("VOND_SDK_RECHECK_MS", text)) {
        size_t start = 0;
        while (start <= text.size()) {
            const size_t comma = text.find(',', start);
            const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!part.empty() && part.find_first_not_of("0123456789") == std::string::npos && part.size() < 10) {
                delays.emplace_back(std::stoll(part));
            }
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    if (delays.empty()) delays = {std::chrono::seconds(10), std::chrono::seconds(30), std::chrono::minutes(2)};
    return delays;
}

// An order record that could not reach the disk (a full disk, a store another process held)
// is written again from the order writer every few seconds until it lands: kept in memory only,
// a crash would lose it. The frame only reads an atomic and the clock.
void RetryOrderWrites(std::chrono::steady_clock::time_point now) {
    static std::atomic<int64_t> nextTry{0};
    static std::atomic<bool> queued{false};
    if (!UnconsumedOrder::getInstance().HasDeferred()) return;
    if (now.time_since_epoch().count() < nextTry.load() || queued.exchange(true)) return;
    nextTry.store((now + std::chrono::seconds(2)).time_since_epoch().count());
    orderwriter::Submit([] {
        UnconsumedOrder::getInstance().RetryDeferred();
        queued.store(false);
    });
}

struct Rechecks {
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> due;  // guarded by mutex
    std::atomic<int64_t> next{INT64_MAX};                    // earliest due, steady ticks
    std::set<std::string> logged;                            // unexplained ids logged this login
};

Rechecks& R() {
    static Rechecks* rechecks = new Rechecks();
    return *rechecks;
}

// The entitlement is the player's proof of payment: it stays unredeemed, said once per login.
void LogUnexplained(const FEntitlementData& entitlement, const char* why) {
    Rechecks& r = R();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.logged.insert(entitlement.entitlementId).second) return;
    }
    LOG(WARNING) << "Entitlement left unredeemed (" << why << "), epicEntitlementId: " << entitlement.entitlementId
                 << ", name: " << entitlement.entitlementName << ", catalogItemId: " << entitlement.catalogItemId;
}

bool ItemMatches(const OfferItem& item, const FEntitlementData& entitlement) {
    if (!entitlement.catalogItemId.empty()) return item.catalogItemId == entitlement.catalogItemId;
    return !entitlement.entitlementName.empty() && item.entitlementName == entitlement.entitlementName;
}

// One candidate order for an entitlement: a pending record, or a checkout this process runs.
struct Candidate {
    std::shared_ptr<OrderInfo> order;  // empty for a running checkout
    std::string orderId;
    std::string offerId;
};

// Ties each entitlement to the one order whose offer grants its item, when there is exactly
// one such order and no other entitlement also points at it alone. Everything else stays.
void TieByOffer(const std::vector<FEntitlementData>& entitlements, const std::vector<Candidate>& candidates,
                const OfferItems& items) {
    std::map<std::string, std::vector<size_t>> claims;  // order id -> entitlements naming only it
    std::vector<const Candidate*> only(entitlements.size(), nullptr);
    for (size_t e = 0; e < entitlements.size(); ++e) {
        std::vector<const Candidate*> matches;
        for (const Candidate& candidate : candidates) {
            auto offer = items.find(candidate.offerId);
            if (offer == items.end()) continue;
            for (const OfferItem& item : offer->second) {
                if (ItemMatches(item, entitlements[e])) {
                    matches.push_back(&candidate);
                    break;
                }
            }
        }
        if (matches.size() == 1) {
            only[e] = matches[0];
            claims[matches[0]->orderId].push_back(e);
        } else {
            LogUnexplained(entitlements[e], matches.empty() ? "no order" : "several orders could have bought it");
        }
    }
    for (size_t e = 0; e < entitlements.size(); ++e) {
        const Candidate* candidate = only[e];
        if (candidate == nullptr) continue;
        if (claims[candidate->orderId].size() != 1) {
            LogUnexplained(entitlements[e], "several entitlements fit one order");
            continue;
        }
        if (!candidate->order) continue;  // its own checkout, running now, reports it
        auto order = std::make_shared<OrderInfo>(*candidate->order);
        order->epicEntitlementId = entitlements[e].entitlementId;
        if (!CVondPay::Instance().BeginReport(order->epicEntitlementId)) continue;
        LOG(INFO) << "Pending order tied by its offer, orderId: " << order->orderId
                  << ", epicEntitlementId: " << order->epicEntitlementId;
        // The record becomes the entitlement's order on disk before the backend hears of it.
        UnconsumedOrder::getInstance().ClosePendingOrder(order);
        eosbridge::RunOnTickThread([order] { CVondPay::Instance().PayResult(kStatusPaid, order, nullptr); });
    }
}

// The pass itself, on the order writer: the store is read and changed off the ticking thread.
void Reconcile(const std::vector<FEntitlementData>& entitlements) {
    UnconsumedOrder& store = UnconsumedOrder::getInstance();
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    OrderSnapshot snapshot = store.Snapshot();
    const int64_t cutoff = now - kPendingLifetimeMs;
    CVondPay& pay = CVondPay::Instance();
    std::vector<FEntitlementData> unexplained;
    for (const FEntitlementData& entitlement : entitlements) {
        if (entitlement.redeemed || entitlement.entitlementId.empty()) continue;
        if (pay.IsReporting(entitlement.entitlementId)) continue;
        auto stored = snapshot.stored.find(entitlement.entitlementId);
        if (stored != snapshot.stored.end()) {
            if (!pay.BeginReport(entitlement.entitlementId)) continue;
            std::shared_ptr<OrderInfo> order = stored->second;
            eosbridge::RunOnTickThread([order] { CVondPay::Instance().PayResult(kStatusPaid, order, nullptr); });
            continue;
        }
        if (snapshot.unreadable.count(entitlement.entitlementId) != 0) {
            LogUnexplained(entitlement, "its stored order cannot be read");
            continue;
        }
        unexplained.push_back(entitlement);
    }
    if (unexplained.empty()) {
        if (!snapshot.readable) return;
        // Nothing EOS holds is unexplained: no pending order got an entitlement in this pass,
        // and whatever a torn store lost has been settled or accounted for.
        std::vector<std::string> looked;
        bool expired = false;
        for (const PendingRecord& record : snapshot.pending) {
            looked.push_back(record.order->orderId);
            expired = expired || (record.sinceMs > 0 && record.sinceMs < cutoff && record.passes + 1 >= kPassesBeforeDrop);
        }
        store.CountPassWithout(looked);
        if (expired) store.DropPendingOlderThan(cutoff, kPassesBeforeDrop);
        if (snapshot.complete && snapshot.lostBeforeMs > 0) store.ClearLostMarkers(cutoff, kPassesBeforeDrop);
        return;
    }
    if (!snapshot.complete) {
        // A record that cannot be read may be the one that explains these.
        for (const FEntitlementData& entitlement : unexplained) LogUnexplained(entitlement, "order records unreadable");
        return;
    }
    auto candidates = std::make_shared<std::vector<Candidate>>();
    const std::map<std::string, std::string> running = pay.RunningCheckouts();
    for (const PendingRecord& record : snapshot.pending) {
        if (running.count(record.order->orderId) != 0) continue;
        // Before a torn store's loss, the lost records could have bought the same item: only
        // orders recorded after it are candidates.
        if (!record.afterLoss) continue;
        candidates->push_back(Candidate{record.order, record.order->orderId, record.order->channelProductId});
    }
    for (const auto& [orderId, offerId] : running) candidates->push_back(Candidate{nullptr, orderId, offerId});
    if (candidates->empty()) {
        for (const FEntitlementData& entitlement : unexplained) LogUnexplained(entitlement, "no order");
        return;
    }
    std::vector<std::string> offerIds;
    for (const Candidate& candidate : *candidates) {
        if (std::find(offerIds.begin(), offerIds.end(), candidate.offerId) == offerIds.end()) {
            offerIds.push_back(candidate.offerId);
        }
    }
    auto list = std::make_shared<std::vector<FEntitlementData>>(std::move(unexplained));
    eosbridge::RunOnTickThread([offerIds, list, candidates] {
        eosbridge::QueryOfferItems(offerIds, [list, candidates](std::shared_ptr<OfferItems> items) {
            if (!items) {
                for (const FEntitlementData& entitlement : *list) LogUnexplained(entitlement, "offers unreadable");
                return;
            }
            orderwriter::Submit([list, candidates, items] { TieByOffer(*list, *candidates, *items); });
        });
    });
}

}  // namespace

CVondUser& CVondUser::Instance() {
    static CVondUser* user = new CVondUser();
    return *user;
}

std::string CVondUser::UserIdText(const json& body) {
    if (!body.is_object()) return "-1";
    auto it = body.find("userId");
    if (it == body.end() || !it->is_number_integer()) return "-1";
    if (it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(INT64_MAX)) return "-1";
    return std::to_string(it->get<int64_t>());
}

void CVondUser::Login(std::string puserId, std::string jwtToken, ResultCallback callback) {
    CVondApi::Instance().RequestLogin(puserId, jwtToken, [puserId, callback](HttpResp resp) {
        if (resp.code != kCodeOk) {
            AnswerGame(callback, resp.code, resp.msg, resp.data);
            return;
        }
        const json body = json::parse(ToUtf8(resp.data), nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            AnswerGame(callback, kCodeJsonParseError, ToWide(kJsonParseError), std::wstring());
            return;
        }
        auto token = body.find("token");
        if (token != body.end() && token->is_string()) KeepOutOfLogTarget(token->get<std::string>());
        CVondCore& core = CVondCore::Instance();
        // The session is in place before the flag, so a purchase that sees the player logged
        // in also sees whose orders it makes.
        core.SetSession(token != body.end() && token->is_string() ? token->get<std::string>() : std::string(),
                        UserIdText(body));
        core.SetLoggedIn(true);
        CVondTrack::Instance().RefreshUserId();
        NewLogin();
        CVondTrack::Instance().PostLoginEvent(kChannelEpic, puserId);
        try {
            std::thread(&CVondUser::StartEntitlementPass).detach();
        } catch (const std::system_error& e) {
            // Without a thread of its own the pass is only queued; it runs at the next tick.
            LOG(ERROR) << "Entitlement pass thread failed: " << e.what();
            StartEntitlementPass();
        }
        AnswerGame(callback, resp.code, resp.msg, resp.data);
    });
}

void CVondUser::StartEntitlementPass() {
    eosbridge::RunOnTickThread([] {
        eosbridge::QueryEntitlements([](std::shared_ptr<std::vector<FEntitlementData>> entitlements) {
            if (entitlements) SettleEntitlements(*entitlements);
        });
    });
}

void CVondUser::SettleEntitlements(const std::vector<FEntitlementData>& entitlements) {
    auto list = std::make_shared<std::vector<FEntitlementData>>(entitlements);
    orderwriter::Submit([list] { Reconcile(*list); });
}

void CVondUser::ScheduleRechecks() {
    Rechecks& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto now = std::chrono::steady_clock::now();
    for (auto delay : RecheckDelays()) r.due.push_back(now + delay);
    int64_t next = INT64_MAX;
    for (auto when : r.due) next = std::min<int64_t>(next, when.time_since_epoch().count());
    r.next.store(next);
}

void CVondUser::OnUpdate() {
    Rechecks& r = R();
    const auto now = std::chrono::steady_clock::now();
    RetryOrderWrites(now);
    if (now.time_since_epoch().count() < r.next.load()) return;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.due.erase(std::remove_if(r.due.begin(), r.due.end(), [&](auto when) { return when <= now; }), r.due.end());
        int64_t next = INT64_MAX;
        for (auto when : r.due) next = std::min<int64_t>(next, when.time_since_epoch().count());
        r.next.store(next);
    }
    if (CVondCore::Instance().IsLoggedIn()) StartEntitlementPass();
}

void CVondUser::ResetSession() {
    Rechecks& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.due.clear();
    r.next.store(INT64_MAX);
    r.logged.clear();
}

void CVondUser::NewLogin() {
    Rechecks& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.logged.clear();
}

}  // namespace VondSdk
