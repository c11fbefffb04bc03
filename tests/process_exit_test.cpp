// Every way a game ends must end its process: without Exit, with work of every kind in flight,
// or with Exit and then the library unloaded. Nothing the SDK's threads touch may be destroyed
// under them, and no thread of the SDK may run code that is gone. Each way is played many
// times (VOND_PROCESS_END_RUNS, default 200 where the backend emulator is there to serve
// the runs); any crash or hang fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/DevServer.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

namespace {

// Past the purchase probe's own 90 s wait for its login: a run that never ends is a hang at
// its end, and a login that never answered shows as that probe's exit code instead.
constexpr std::chrono::seconds kBound(120);
constexpr char kAccountId[] = "e05a1d2f3c4b5a69788796a5b4c3d2e1";
constexpr char kExchangeCode[] = "vond-exit-exchange-code";

std::string Sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

// Where a run's game finds its backend.
enum class Backend { Gone, Emulator };

struct Ending {
    const char* name;
    const char* probe;
    std::vector<std::string> args;
    Backend backend;
    const char* mode;  // VOND_PROBE_MODE
    bool repeated;     // played VOND_PROCESS_END_RUNS times, else once
};

int Runs() {
    const char* text = std::getenv("VOND_PROCESS_END_RUNS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 200;
}

}  // namespace

TEST(ProcessExit, EveryWayAGameEndsEndsWithoutCrashOrHang) {
    const std::vector<std::string> launcher = {std::string("-AUTH_PASSWORD=") + kExchangeCode,
                                               "-epicsandboxid=exit-sandbox", "-epicdeploymentid=exit-deployment"};
    const std::vector<Ending> table = {
        // A backend that is gone: start-up fails at once and leaves six idle workers.
        {"never calls Exit", "vond_exit_probe", {}, Backend::Gone, "", false},
        {"posts 50 events, starts a purchase, returns from main without Exit", "vond_purchase_probe", launcher,
         Backend::Emulator, "abandon", true},
        {"posts 50 events, calls Exit, then unloads the library", "vond_unload_probe",
         {"unload", VOND_TEST_LIBRARY}, Backend::Emulator, "", true},
    };
    const bool emulator = !vondtest::DevServer::EndpointFile().empty();
    for (const auto& ending : table) {
        SCOPED_TRACE(ending.name);
        if (ending.backend == Backend::Emulator && !emulator) {
            std::printf("%s: skipped, no backend emulator\n", ending.name);
            continue;
        }
        vondtest::TempDir data;
        vondtest::TempDir work;
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data.Path());
        vondtest::RefusingPort refusing;
        std::unique_ptr<vondtest::DevServer> server;
        if (ending.backend == Backend::Gone) {
            vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin());
        } else {
            server = std::make_unique<vondtest::DevServer>("1001", false);
            vondtest::SetEnv("VOND_SDK_ORIGIN", server->Origin());
            vondtest::SetEnv("VOND_SDK_CA_FILE", server->CaFile());
            vondtest::SetEnv("VOND_PROBE_APP_ID", server->AppId());
            vondtest::SetEnv("VOND_PROBE_APP_KEY", server->AppKey());
            vondtest::SetEnv("VOND_PROBE_ACCOUNT", kAccountId);
            vondtest::SetEnv("VOND_PROBE_MARKERS", work.Path() + Sep() + "markers.txt");
            vondtest::SetEnv("VOND_PROBE_STORE", work.Path() + Sep() + "store");
            const nlohmann::json scenario = {
                {"accounts", nlohmann::json::array({{{"exchangeCode", kExchangeCode}, {"accountId", kAccountId},
                                                     {"accessToken", "exit-access-token"}}})},
                {"offers", nlohmann::json::array({{{"offerId", "offer1"}, {"entitlementName", "offer1"}}})},
                {"checkoutTicks", 50},
                {"stateFile", work.Path() + Sep() + "eossim-state.json"}};
            const std::string scenarioFile = work.Path() + Sep() + "scenario.json";
            vondtest::WriteFile(scenarioFile, scenario.dump());
            vondtest::SetEnv("VOND_EOSSIM_SCENARIO", scenarioFile);
        }
        vondtest::SetEnv("VOND_PROBE_MODE", ending.mode);
        const char* raceOptions = std::getenv("TSAN_OPTIONS");
        const std::string keptRaceOptions = raceOptions != nullptr ? raceOptions : "";
        const char* addressOptions = std::getenv("ASAN_OPTIONS");
        const std::string keptAddressOptions = addressOptions != nullptr ? addressOptions : "";
        if (ending.args.size() > 0 && ending.args[0] == "unload") {
            vondtest::SetEnv("TSAN_OPTIONS", keptRaceOptions + " suppressions=" VOND_TSAN_UNLOAD_SUPPRESSIONS);
            // The leak checker cannot stop the world at the exit of a process that unloaded the
            // library while its pinned threads end; this probe is about crashes and hangs.
            vondtest::SetEnv("ASAN_OPTIONS", keptAddressOptions + " detect_leaks=0");
        }
        vondtest::ScopedCurrentDir inside(work.Path());

        const int runs = ending.repeated ? Runs() : 1;
        int ended = 0;
        int crashed = 0;
        int hung = 0;
        std::string firstFailure;
        for (int run = 0; run < runs; ++run) {
            vondtest::ChildProcess game(ending.probe, ending.args);
            ASSERT_TRUE(game.Started());
            const int code = game.Wait(kBound);
            if (code == 0) {
                ++ended;
            } else if (code == -1) {
                ++hung;
            } else {
                ++crashed;
            }
            if (code != 0 && firstFailure.empty()) firstFailure = "run " + std::to_string(run) + " ended with " + std::to_string(code);
        }
        vondtest::SetEnv("TSAN_OPTIONS", keptRaceOptions);
        vondtest::SetEnv("ASAN_OPTIONS", keptAddressOptions);
        std::printf("%s: %d runs, %d ended, %d crashed, %d hung\n", ending.name, runs, ended, crashed, hung);
        EXPECT_EQ(crashed, 0) << firstFailure;
        EXPECT_EQ(hung, 0) << firstFailure;
    }
}
