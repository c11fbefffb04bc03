#include "src/CVondUser.h"

#include <exception>
#include <thread>

#include "easylogging++.h"
#include "http/CVondApi.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "src/CVondTrack.h"
#include "src/EosBridge.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

using nlohmann::json;

constexpr int kCodeOk = 200;
constexpr int kCodeJsonParseError = -501;
constexpr char kJsonParseError[] = "Server JSON Parse Error.";
constexpr char kLoginPlatform[] = "EPIC";
constexpr char kStatusPaid[] = "1";

void RedeemUnrecorded(const std::string& entitlementId) {
    eosbridge::RedeemEntitlement(entitlementId, [entitlementId](bool redeemed) {
        LOG(INFO) << "Redeem Unrecorded Entitlement" << (redeemed ? "Successful" : "Failed")
                  << " ,epicEntitlementId : " << entitlementId;
    });
}

// An order whose checkout was still open when its process ended: the entitlement it produced
// is the one this login finds without an order. Its product's offer decides when it can;
// otherwise the oldest such order is taken. None while this process runs the checkout itself.
std::shared_ptr<OrderInfo> TakeInterruptedOrder(std::vector<std::shared_ptr<OrderInfo>>& pending,
                                                const FEntitlementData& entitlement) {
    auto usable = [](const std::shared_ptr<OrderInfo>& order) {
        return !CVondPay::Instance().IsCheckingOut(order->orderId);
    };
    auto chosen = pending.end();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (usable(*it) && (*it)->channelProductId == entitlement.entitlementName) {
            chosen = it;
            break;
        }
    }
    if (chosen == pending.end()) {
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (usable(*it)) {
                chosen = it;
                break;
            }
        }
    }
    if (chosen == pending.end()) return nullptr;
    std::shared_ptr<OrderInfo> order = *chosen;
    pending.erase(chosen);
    return order;
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
        CVondCore& core = CVondCore::Instance();
        // The session is in place before the flag, so a purchase that sees the player logged
        // in also sees whose orders it makes.
        core.SetSession(token != body.end() && token->is_string() ? token->get<std::string>() : std::string(),
                        UserIdText(body));
        core.SetLoggedIn(true);
        CVondTrack::Instance().RefreshUserId();
        CVondTrack::Instance().PostLoginEvent(kLoginPlatform, puserId);
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
    eosbridge::OnTick([] {
        eosbridge::QueryEntitlements([](std::shared_ptr<std::vector<FEntitlementData>> entitlements) {
            if (entitlements) SettleEntitlements(*entitlements);
        });
    });
}

void CVondUser::SettleEntitlements(const std::vector<FEntitlementData>& entitlements) {
    UnconsumedOrder& store = UnconsumedOrder::getInstance();
    std::vector<std::shared_ptr<OrderInfo>> pending;
    bool pendingRead = false;
    for (const FEntitlementData& entitlement : entitlements) {
        if (entitlement.redeemed) continue;
        try {
            StoredOrder state = StoredOrder::Absent;
            std::shared_ptr<OrderInfo> order = store.FindOrder(entitlement.entitlementId, &state);
            if (state == StoredOrder::Unreadable) {
                // Its order is there but cannot be read: redeeming would consume what the
                // backend was perhaps never told about, so it is left for a later login.
                continue;
            }
            if (!order) {
                if (!pendingRead) {
                    pending = store.PendingOrders();
                    pendingRead = true;
                }
                order = TakeInterruptedOrder(pending, entitlement);
                if (order) {
                    LOG(INFO) << "Interrupted checkout recovered, orderId: " << order->orderId
                              << ", epicEntitlementId: " << entitlement.entitlementId;
                    order->epicEntitlementId = entitlement.entitlementId;
                    store.SettlePendingOrder(order);
                }
            }
            if (order) {
                CVondPay::Instance().PayResult(kStatusPaid, order, nullptr);
            } else {
                RedeemUnrecorded(entitlement.entitlementId);
            }
        } catch (const std::exception& e) {
            LOG(ERROR) << "Entitlement skipped, epicEntitlementId: " << entitlement.entitlementId << ", " << e.what();
        }
    }
}

}  // namespace VondSdk
