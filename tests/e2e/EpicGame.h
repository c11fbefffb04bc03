// A game in a test process: it starts the SDK against the backend emulator and the EOS
// stand-in, pumps UpdateSDKEvent like a game loop and records what its callbacks heard.
//
// The process's command line carries the launcher's options (the ctest registration adds
// -AUTH_PASSWORD, -epicsandboxid and -epicdeploymentid); the scenario file written here
// decides which Epic account that exchange code logs in, which offers exist and what fails.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "eossim/testing/eossim.h"
#include "support/DevServer.h"
#include "support/TestEnv.h"

namespace e2e {

using nlohmann::json;

// What the ctest registration puts on the command line.
constexpr char kExchangeCode[] = "vond-e2e-exchange-code";
constexpr char kSandboxId[] = "vond-e2e-sandbox";
// The devserver maps this Epic account to user id 3000000001 (above 2^31), the other to 42.
constexpr char kAccountId[] = "e05a1d2f3c4b5a69788796a5b4c3d2e1";
constexpr char kOtherAccountId[] = "0b1c2d3e4f5a69788796a5b4c3d2e1f0";
constexpr char kAccessToken[] = "vond-e2e-access-token";

inline std::string Utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '?';
        }
    }
    return out;
}

// A scenario with one account for the command line's exchange code, and offers whose
// entitlement name is their offer id.
inline json Scenario(const std::string& accountId = kAccountId) {
    json account = {{"exchangeCode", kExchangeCode},
                    {"accountId", accountId},
                    {"idToken", "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ2b25kIn0."},
                    {"accessToken", kAccessToken}};
    json offers = json::array();
    for (const char* offer : {"offer1", "eossim-offer"}) {
        offers.push_back({{"offerId", offer}, {"entitlementName", offer}, {"catalogItemId", offer},
                          {"entitlementsPerCheckout", 1}});
    }
    return json{{"accounts", json::array({account})}, {"offers", offers}, {"anyOffer", false}};
}

inline std::string Sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

// One recorded callback, with its text made narrow for comparisons and JSON parsing.
struct Heard {
    int code = 0;
    std::wstring message;
    std::wstring data;
    std::thread::id thread;
    json Data() const { return json::parse(Utf8(data), nullptr, false); }
};

class EpicGame : public ::testing::Test {
protected:
    // A test's own data directory, working directory (for the log file), backend app and
    // EOS state file; the scenario is written and named before anything starts.
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::Recorder::Clear();
        scenario_ = Scenario();
        scenario_["stateFile"] = work_.Path() + Sep() + "eossim-state.json";
        // The backend checks every paid report with "Epic", as a real one does.
        server_.UseEosState(scenario_["stateFile"].get<std::string>());
    }
    // EOS work still under way finishes first, as it would in a game that keeps its loop
    // running until it quits: a completion dropped by the shut-down would keep its service.
    void TearDown() override {
        PumpUntil([] { return EOSSim_GetPendingCompletions() == 0; }, std::chrono::seconds(10));
        VondProxy::Exit();
    }

    // Writes the scenario the EOS stand-in reads at its first call.
    void UseScenario() {
        const std::string path = work_.Path() + Sep() + "scenario.json";
        vondtest::WriteFile(path, scenario_.dump());
        vondtest::SetEnv("VOND_EOSSIM_SCENARIO", path);
    }

    // Init through to "Epic Init Success!".
    void Start() {
        UseScenario();
        VondProxy::Init(Wide(server_.AppId()), Wide(server_.AppKey()), &vondtest::Recorder::Callback);
        auto records = Heards();
        ASSERT_FALSE(records.empty());
        ASSERT_EQ(records.back().code, 200) << Utf8(records.back().message);
        ASSERT_EQ(records.back().message, L"Epic Init Success!");
        vondtest::Recorder::Clear();
    }

    // Login, pumped until its one callback.
    Heard LogIn() {
        const size_t before = Heards().size();
        VondProxy::Login(&vondtest::Recorder::Callback);
        EXPECT_TRUE(PumpUntil([&] { return Heards().size() > before; })) << "no login callback";
        auto records = Heards();
        return records.size() > before ? records[before] : Heard{};
    }

    // One purchase, pumped until its callback.
    Heard Buy(const std::string& productId, const std::string& extInfo = "ext-1") {
        const size_t before = Heards().size();
        VondProxy::CallPay(Wide(productId), Wide(extInfo), &vondtest::Recorder::Callback);
        EXPECT_TRUE(PumpUntil([&] { return Heards().size() > before; })) << "no purchase callback";
        auto records = Heards();
        return records.size() > before ? records[before] : Heard{};
    }

    // The game loop: one UpdateSDKEvent per frame until done holds.
    static bool PumpUntil(const std::function<bool()>& done,
                          std::chrono::seconds bound = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            VondProxy::UpdateSDKEvent();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // one frame
        }
        return true;
    }

    // A few frames, for work that has nothing to wait for (to show that nothing more comes).
    static void PumpFrames(int frames = 50) {
        for (int i = 0; i < frames; ++i) {
            VondProxy::UpdateSDKEvent();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // one frame
        }
    }

    static std::vector<Heard> Heards() {
        std::vector<Heard> out;
        for (const auto& r : vondtest::Recorder::Records()) out.push_back({r.code, r.message, r.data, r.thread});
        return out;
    }

    static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

    // Requests this test's app sent to one path, oldest first, as form objects.
    std::vector<json> FormsTo(const std::string& path) const {
        std::vector<json> forms;
        for (const json& request : server_.Requests()) {
            if (request.value("path", "") != path || !request["form"].is_array()) continue;
            json form = json::object();
            for (const json& pair : request["form"]) form[pair[0].get<std::string>()] = pair[1];
            forms.push_back(form);
        }
        return forms;
    }

    // The stand-in's entitlements of an account, redeemed ones included.
    static json Entitlements(const std::string& accountId = kAccountId) {
        std::vector<char> buffer(1 << 16);
        int32_t length = static_cast<int32_t>(buffer.size());
        if (EOSSim_GetEntitlements(accountId.c_str(), buffer.data(), &length) != 0) return json::array();
        return json::parse(std::string(buffer.data()), nullptr, false);
    }

    std::string StorePath(const std::string& userId) const {
        return data_.Path() + Sep() + server_.AppId() + Sep() + userId + Sep() + "UnconsumedOrder";
    }
    json Store(const std::string& userId) const {
        std::string text;
        if (!vondtest::ReadFile(StorePath(userId), text)) return json();
        return json::parse(text, nullptr, false);
    }
    // Entries of a store that belong to entitlements (not interrupted checkouts).
    size_t StoredOrders(const std::string& userId) const {
        json store = Store(userId);
        size_t count = 0;
        if (store.is_object()) {
            for (auto& [key, value] : store.items()) {
                count += key.rfind("pending:", 0) == 0 || key.rfind("lost:", 0) == 0 ? 0 : 1;
            }
        }
        return count;
    }

    vondtest::TempDir data_;
    vondtest::TempDir work_;
    vondtest::ScopedCurrentDir inside_{work_.Path()};
    vondtest::DevServer server_;
    json scenario_;
};

}  // namespace e2e
