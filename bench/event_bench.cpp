// The event outbox's costs as a game sees them, against a local vond-devserver and the EOS
// stand-in, with the data folder on a real disk (not tmpfs):
//   - VondProxy::PostEvent on the game's thread, 10,000 calls while the writer and the
//     request workers run (median, p99, max; targets 20 us, 100 us, 1 ms)
//   - a burst of 1,000 PostEvent calls until the backend acknowledged all of them
//   - VondProxy::UpdateSDKEvent on every frame of one whole purchase (p99 target 200 us); the
//     EOS stand-in's own store is kept in /dev/shm where there is one
//   - VondProxy::Exit with events still unsent (target 1 s)
//
// Usage: vond_event_bench [--dir FOLDER] [--calls N]. FOLDER (default: the current folder)
// holds the data folder and the server's state. Exits non-zero only on a setup error.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "src/CVondEventOutbox.h"
#include "support/DevServer.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kExchangeCode[] = "vond-bench-exchange-code";
constexpr char kAccountId[] = "b05a1d2f3c4b5a69788796a5b4c3d2e1";
const double kNoValue = std::nan("");

std::atomic<int> g_callbacks{0};
std::atomic<int> g_lastCode{0};

void Heard(int code, std::wstring, std::wstring) {
    g_lastCode.store(code);
    g_callbacks.fetch_add(1);
}

struct Figures {
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Figures Summarise(std::vector<double> micros) {
    if (micros.empty()) return Figures{};
    std::sort(micros.begin(), micros.end());
    return Figures{micros[micros.size() / 2], micros[std::min(micros.size() - 1, micros.size() * 99 / 100)],
                   micros.back()};
}

void Print(const char* what, size_t count, const Figures& f) {
    std::printf("  %-44s %6zu calls  median %8.1f us  p99 %8.1f us  max %9.1f us\n", what, count, f.median, f.p99,
                f.max);
}

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

bool PumpUntil(int callbacks, std::chrono::seconds bound, std::vector<double>* frames) {
    const auto deadline = Clock::now() + bound;
    while (g_callbacks.load() < callbacks) {
        if (Clock::now() > deadline) return false;
        const auto start = Clock::now();
        VondProxy::UpdateSDKEvent();
        if (frames != nullptr) frames->push_back(MicrosSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool WaitAcknowledged(std::chrono::seconds bound) {
    return vondtest::WaitUntil([] { return VondSdk::CVondEventOutbox::Instance().Outstanding() == 0; }, bound);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = std::filesystem::current_path().string();
    int calls = 10000;
    bool launched = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) base = argv[++i];
        if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) calls = std::atoi(argv[++i]);
        if (std::strncmp(argv[i], "-AUTH_PASSWORD=", 15) == 0) launched = true;
    }
    if (!launched) {
        // The login reads the launcher's options from the command line: start again with them.
        std::vector<std::string> args(argv, argv + argc);
        args.push_back(std::string("-AUTH_PASSWORD=") + kExchangeCode);
        args.push_back("-epicsandboxid=bench-sandbox");
        args.push_back("-epicdeploymentid=bench-deployment");
        std::vector<char*> raw;
        for (auto& arg : args) raw.push_back(&arg[0]);
        raw.push_back(nullptr);
        ::execv("/proc/self/exe", raw.data());
        std::perror("execv");
        return 2;
    }

    std::string dirTemplate = base + "/vond-event-bench-XXXXXX";
    if (::mkdtemp(&dirTemplate[0]) == nullptr) return 2;
    const std::string dir = dirTemplate;
    try {
        vondtest::DevServerProcess process(dir + "/server");
        // The quiet app: logging stays off, as on a player's machine.
        vondtest::DevServer server(process.Origin(), process.CaFile(), "1002", true);
        ::setenv("VOND_SDK_DATA_DIR", (dir + "/data").c_str(), 1);
        std::filesystem::create_directories(dir + "/data");
        // The stand-in writes its store to a file inside the tick (EOS keeps it on Epic's
        // servers): kept in memory where there is a tmpfs, so that the frames timed below are
        // the SDK's own work and not the stand-in's disk.
        std::string standInState = dir + "/eossim-state.json";
        if (std::filesystem::is_directory("/dev/shm")) {
            standInState = "/dev/shm/vond-event-bench-" + std::to_string(::getpid()) + "-eossim-state.json";
        }
        const nlohmann::json scenario = {
            {"accounts", nlohmann::json::array({{{"exchangeCode", kExchangeCode}, {"accountId", kAccountId},
                                                 {"accessToken", "bench-access-token"}}})},
            {"offers", nlohmann::json::array({{{"offerId", "offer1"}, {"entitlementName", "offer1"}}})},
            {"checkoutTicks", 6},
            {"stateFile", standInState}};
        vondtest::WriteFile(dir + "/scenario.json", scenario.dump());
        ::setenv("VOND_EOSSIM_SCENARIO", (dir + "/scenario.json").c_str(), 1);

        const std::wstring appId(server.AppId().begin(), server.AppId().end());
        const std::wstring appKey(server.AppKey().begin(), server.AppKey().end());
        VondProxy::Init(appId, appKey, &Heard);
        if (g_lastCode.load() != 200) {
            std::printf("start-up failed: %d\n", g_lastCode.load());
            return 2;
        }
        VondProxy::Login(&Heard);
        if (!PumpUntil(2, std::chrono::seconds(60), nullptr) || g_lastCode.load() != 200) {
            std::printf("login failed: %d\n", g_lastCode.load());
            return 2;
        }
        WaitAcknowledged(std::chrono::seconds(60));
        std::printf("Event outbox against vond-devserver (data folder %s)\n", (dir + "/data").c_str());

        const std::wstring params = L"{\"item\":\"gold_100\",\"count\":3,\"scene\":\"shop\"}";
        // A burst, from the first call until the backend acknowledged the last event.
        const auto burstStart = Clock::now();
        for (int i = 0; i < 1000; ++i) VondProxy::PostEvent(L"burst", params, kNoValue);
        const double posted = MicrosSince(burstStart);
        const bool acknowledged = WaitAcknowledged(std::chrono::seconds(300));
        const double burst = MicrosSince(burstStart);
        std::printf("  burst of 1000 PostEvent: posted in %.1f ms, all acknowledged after %.1f ms%s\n", posted / 1000,
                    burst / 1000, acknowledged ? "" : " (NOT all acknowledged within 300 s)");

        // One whole purchase, every frame timed.
        std::vector<double> frames;
        const int before = g_callbacks.load();
        VondProxy::CallPay(L"p1", L"bench", &Heard);
        const bool paid = PumpUntil(before + 1, std::chrono::seconds(120), &frames);
        for (int i = 0; i < 200; ++i) {  // the redemption and removal after the game heard
            const auto start = Clock::now();
            VondProxy::UpdateSDKEvent();
            frames.push_back(MicrosSince(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const Figures update = Summarise(frames);
        Print(paid ? "UpdateSDKEvent over one purchase" : "UpdateSDKEvent (purchase did NOT finish)", frames.size(),
              update);

        // The game's thread, many calls in a row while the writer and workers run.
        std::vector<double> micros;
        micros.reserve(calls);
        for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            VondProxy::PostEvent(L"purchase_done", params, 3);
            micros.push_back(MicrosSince(start));
        }
        const Figures post = Summarise(micros);
        Print("VondProxy::PostEvent", micros.size(), post);

        const auto exitStart = Clock::now();
        VondProxy::Exit();
        const double exitMs = MicrosSince(exitStart) / 1000;
        std::printf("  Exit with %lld events unsent: %.1f ms\n",
                    static_cast<long long>(VondSdk::CVondEventOutbox::Instance().Outstanding()), exitMs);

        std::printf("PostEvent target (median < 20 us, p99 < 100 us, max < 1 ms): %s\n",
                    post.median < 20 && post.p99 < 100 && post.max < 1000 ? "met" : "NOT met");
        std::printf("UpdateSDKEvent target (p99 < 200 us over a purchase): %s\n", update.p99 < 200 ? "met" : "NOT met");
        std::printf("Exit target (< 1 s): %s\n", exitMs < 1000 ? "met" : "NOT met");
    } catch (const std::exception& e) {
        std::printf("setup failed: %s\n", e.what());
        return 2;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::remove("/dev/shm/vond-event-bench-" + std::to_string(::getpid()) + "-eossim-state.json", ignored);
    return 0;
}
