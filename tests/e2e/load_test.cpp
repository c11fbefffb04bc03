// Reliability under load: purchases in a row while other game threads query products, post
// events and change the game user's details. Every purchase ends in exactly one callback.
#include "e2e/EpicGame.h"

#include <atomic>
#include <map>
#include <mutex>

namespace e2e {
namespace {

constexpr int kPurchases = 20;
constexpr int kGameThreads = 4;

std::mutex g_mutex;
std::map<std::string, int> g_purchaseCallbacks;  // extInfo -> callbacks heard
std::map<std::string, int> g_paidStatus;          // extInfo -> status of the last callback
std::atomic<int> g_productCallbacks{0};
std::atomic<int> g_productFailures{0};

void PurchaseHeard(int code, std::wstring, std::wstring data) {
    json value = json::parse(Utf8(data), nullptr, false);
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string ext = value.is_object() ? value.value("extInfo", std::string("?")) : "code " + std::to_string(code);
    ++g_purchaseCallbacks[ext];
    g_paidStatus[ext] = value.is_object() && code == 200 ? value.value("status", -1) : -1;
}

void ProductsHeard(int code, std::wstring, std::wstring) {
    g_productCallbacks.fetch_add(1);
    if (code != 200) g_productFailures.fetch_add(1);
}

int PurchaseCallbacks() {
    std::lock_guard<std::mutex> lock(g_mutex);
    int total = 0;
    for (const auto& entry : g_purchaseCallbacks) total += entry.second;
    return total;
}

using Load = EpicGame;

}  // namespace

TEST_F(Load, PurchasesInARowWithBusyGameThreadsEachEndInOneCallback) {
    Start();
    ASSERT_EQ(LogIn().code, 200);

    std::atomic<bool> stop{false};
    std::atomic<int> queries{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kGameThreads; ++t) {
        threads.emplace_back([t, &stop, &queries] {
            for (int round = 0; !stop.load(); ++round) {
                VondProxy::QueryProducts(&ProductsHeard);
                queries.fetch_add(1);
                // Events at a game's pace: every request is a TLS exchange of its own.
                if (round % 50 == 0) {
                    VondProxy::PostEvent(L"load_event", L"{\"round\":" + std::to_wstring(round) + L"}", round);
                }
                VondProxy::SetServerId(L"server-" + std::to_wstring(t));
                VondProxy::SetGameUserId(L"user-" + std::to_wstring(round));
                VondProxy::SetNickName(L"nick " + std::to_wstring(t));
                VondProxy::SetLevel(round);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a game frame
            }
        });
    }

    for (int i = 0; i < kPurchases; ++i) {
        const std::wstring ext = L"load-" + std::to_wstring(i);
        VondProxy::CallPay(L"p1", ext, &PurchaseHeard);
        ASSERT_TRUE(PumpUntil([&] { return PurchaseCallbacks() == i + 1; })) << "purchase " << i;
    }
    // Redemptions of the last purchases finish inside the game loop.
    ASSERT_TRUE(PumpUntil([&] {
        json all = Entitlements();
        if (all.size() != static_cast<size_t>(kPurchases)) return false;
        for (const json& e : all) {
            if (!e["redeemed"].get<bool>()) return false;
        }
        return true;
    }));
    stop = true;
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(PumpUntil([&] { return g_productCallbacks.load() == queries.load(); }));
    PumpFrames();

    std::lock_guard<std::mutex> lock(g_mutex);
    ASSERT_EQ(g_purchaseCallbacks.size(), static_cast<size_t>(kPurchases));
    for (int i = 0; i < kPurchases; ++i) {
        const std::string ext = "load-" + std::to_string(i);
        EXPECT_EQ(g_purchaseCallbacks[ext], 1) << ext;
        EXPECT_EQ(g_paidStatus[ext], 1) << ext;
    }
    EXPECT_EQ(g_productFailures.load(), 0);
    EXPECT_EQ(EOSSim_GetOffTickThreadCalls(), 0);
    int paid = 0;
    for (const json& order : server_.Orders()) paid += order["status"] == "paid" ? 1 : 0;
    EXPECT_EQ(paid, kPurchases);
}

}  // namespace e2e
