// A game in miniature for the durability harness: started with the launcher's options on its
// command line, it logs in and either buys one product ("buy") or only lets the login settle
// what an earlier process left behind ("settle"), or posts events, starts a purchase and
// returns from main without Exit ("abandon"). It pumps UpdateSDKEvent like a game loop and
// appends what it saw to a marker file, which the harness watches to choose when to kill it.
//
// Environment: VOND_PROBE_MODE, VOND_PROBE_APP_ID, VOND_PROBE_APP_KEY, VOND_PROBE_MARKERS,
// VOND_PROBE_STORE (the store file to watch), plus the SDK's and the stand-in's own settings.
// Exit code 0 once the purchase has settled (all entitlements redeemed, nothing stored).
#include <VondProxy.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "eossim.h"

namespace {

std::mutex g_mutex;
std::atomic<int> g_callbacks{0};
int g_lastCode = 0;
std::wstring g_lastData;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

void Mark(const std::string& line) {
    std::ofstream out(Env("VOND_PROBE_MARKERS"), std::ios::app | std::ios::binary);
    out << line << "\n";
    out.flush();
}

void Heard(int code, std::wstring, std::wstring data) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lastCode = code;
    g_lastData = std::move(data);
    g_callbacks.fetch_add(1);
}

// One frame of the game loop.
void Frame() {
    VondProxy::UpdateSDKEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool PumpUntilCallbacks(int count, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (g_callbacks.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Frame();
    }
    return true;
}

std::string Entitlements(const std::string& accountId) {
    static char buffer[1 << 16];
    int32_t length = sizeof buffer;
    if (EOSSim_GetEntitlements(accountId.c_str(), buffer, &length) != 0) return std::string();
    return std::string(buffer);
}

bool RedeemedInEos(const std::string& entitlements, const std::string& id) {
    const size_t at = entitlements.find("\"entitlementId\":\"" + id + "\"");
    if (at == std::string::npos) return false;
    const size_t flag = entitlements.find("\"redeemed\":", at);
    return flag != std::string::npos && entitlements.compare(flag + 11, 4, "true") == 0;
}

// Orders in the store whose entitlement EOS has not redeemed. An order whose redemption went
// through just before its process ended stays stored, with nothing left to do for it.
int UnsettledOrders(const std::string& accountId) {
    std::ifstream in(Env("VOND_PROBE_STORE"), std::ios::binary);
    if (!in) return 0;
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    const std::string entitlements = Entitlements(accountId);
    const std::string key = "\"epicEntitlementId\":\"";
    int count = 0;
    for (size_t at = content.find(key); at != std::string::npos; at = content.find(key, at + 1)) {
        const size_t start = at + key.size();
        const std::string id = content.substr(start, content.find('"', start) - start);
        if (!id.empty() && !RedeemedInEos(entitlements, id)) ++count;
    }
    return count;
}

bool AllRedeemed(const std::string& accountId) {
    return Entitlements(accountId).find("\"redeemed\":false") == std::string::npos;
}

// Settled: the login's pass has run, nothing is waiting in EOS, every entitlement is
// redeemed and no stored order waits for one. Checked twice some frames apart.
bool Settled(const std::string& accountId) {
    auto once = [&] {
        return EOSSim_GetCallCount("EOS_Ecom_QueryEntitlements") > 0 && EOSSim_GetPendingCompletions() == 0 &&
               AllRedeemed(accountId) && UnsettledOrders(accountId) == 0;
    };
    if (!once()) return false;
    for (int i = 0; i < 30; ++i) Frame();
    return once();
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Quiet (VOND_PROBE_QUIET): the login's pass has run and nothing has changed in EOS or in the
// store for a while, whether or not everything could be redeemed (an unexplained entitlement
// or an unreadable store legitimately leaves some unredeemed).
bool Quiet(const std::string& accountId) {
    auto snapshot = [&] { return Entitlements(accountId) + "|" + FileText(Env("VOND_PROBE_STORE")); };
    if (EOSSim_GetCallCount("EOS_Ecom_QueryEntitlements") == 0 || EOSSim_GetPendingCompletions() != 0) return false;
    const std::string before = snapshot();
    for (int i = 0; i < 200; ++i) Frame();
    return EOSSim_GetPendingCompletions() == 0 && snapshot() == before;
}

}  // namespace

int main() {
    const std::string mode = Env("VOND_PROBE_MODE");
    const std::string accountId = Env("VOND_PROBE_ACCOUNT");
    VondProxy::Init(Wide(Env("VOND_PROBE_APP_ID")), Wide(Env("VOND_PROBE_APP_KEY")), &Heard);
    if (g_lastCode != 200) {
        std::printf("init failed: %d\n", g_lastCode);
        return 2;
    }
    VondProxy::Login(&Heard);
    // Longer than the SDK's own bound on an exchange (60 s): a backend that never answers then
    // shows as the SDK's failure code, and only a login that never calls back at all as 200.
    if (!PumpUntilCallbacks(2, std::chrono::seconds(90)) || g_lastCode != 200) {
        // How far the login got: whether EOS was asked, and whether its answer is still due.
        std::printf("login failed: %d (EOS logins asked %d, EOS completions due %d, ticks %d)\n", g_lastCode,
                    EOSSim_GetCallCount("EOS_Auth_Login"), EOSSim_GetPendingCompletions(),
                    EOSSim_GetCallCount("EOS_Platform_Tick"));
        return 3;
    }
    Mark("logged-in");

    if (mode == "abandon") {
        // A game that quits in the middle of everything: events on their way, a purchase
        // started, and no Exit. The process must still end, without a crash.
        for (int i = 0; i < 50; ++i) {
            VondProxy::PostEvent(L"abandon", L"{\"i\":" + std::to_wstring(i) + L"}", 0.0);
        }
        VondProxy::CallPay(L"p1", L"abandon", &Heard);
        Frame();
        Mark("abandoned");
        return 0;
    }

    if (mode == "buy") {
        VondProxy::QueryProducts(&Heard);
        if (!PumpUntilCallbacks(3, std::chrono::seconds(60))) return 4;
        Mark("ready");
        VondProxy::CallPay(L"p1", L"durability", &Heard);
        if (!PumpUntilCallbacks(4, std::chrono::seconds(60))) return 5;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            std::string data(g_lastData.begin(), g_lastData.end());
            Mark("paid " + std::to_string(g_lastCode) + " " + data);
        }
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    const bool quiet = !Env("VOND_PROBE_QUIET").empty();
    while (!(quiet ? Quiet(accountId) : Settled(accountId))) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::printf("not settled\n");
            return 6;
        }
        Frame();
    }
    Mark("settled");
    VondProxy::Exit();
    return 0;
}
