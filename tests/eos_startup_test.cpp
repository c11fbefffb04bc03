// Start-up and shut-down with EOS: the ids from the backend, the launcher line and the game.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "VondProxy.h"
#include "eossim.h"
#include "service/EosPlatform.h"
#include "service/EpicLoginService.h"
#include "service/EpicSdkService.h"
#include "support/EosTestEnv.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"
#include "vondsdk_c.h"

using vondtest::LoopbackServer;
using vondtest::Recorder;

namespace {

constexpr char kEpicConfig[] =
    R"({"code":200,"msg":"ok","epicGameName":"VondGame","epicProductId":"product-1",)"
    R"("epicClientCredentialsId":"client-1","epicClientCredentialsSecret":"secret-1"})";

std::string HttpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class EosStartup : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::TrustTestCa();
        vondtest::LoadScenario(vondtest::BaseScenario());
        Recorder::Clear();
    }
    void PointAt(const LoopbackServer& server) { vondtest::SetEnv("VOND_SDK_ORIGIN", server.Url("")); }

    vondtest::TempDir data_;
    vondtest::TempDir cwd_;
    vondtest::ScopedCurrentDir inside_{cwd_.Path()};
};

}  // namespace

TEST_F(EosStartup, BackendIdsAndLauncherIdsStartEos) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply([](const std::string&) { return HttpAnswer(200, kEpicConfig); });
    PointAt(server);
    // The launcher's line; the first value read for a name stays, so it wins over the test
    // program's own command line that start-up reads afterwards.
    VondSdk::LaunchArgs::Parse(L"game.exe -AUTH_PASSWORD=exchange-code-a -AUTH_TYPE=exchangecode "
                               L"-epicsandboxid=sandbox-9 -epicdeploymentid=deployment-9");

    // Before Init there is nothing to tick.
    VondProxy::UpdateSDKEvent();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 0);

    auto info = std::make_shared<EosGameInfo>();
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, 200);
    EXPECT_EQ(records[0].message, L"Epic Init Success!");
    EXPECT_EQ(info->sandboxId, "sandbox-9");
    EXPECT_EQ(info->deploymentId, "deployment-9");
    EXPECT_EQ(info->productName, "VondGame");
    EXPECT_EQ(info->productId, "product-1");
    EXPECT_EQ(info->clientId, "client-1");
    EXPECT_EQ(info->clientSecret, "secret-1");
    EXPECT_EQ(VondSdk::EpicSdkService::currentGameInfo()->sandboxId, "sandbox-9");

    VondProxy::UpdateSDKEvent();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 1);

    // Exit takes EOS down; the pump ticks nothing afterwards.
    VondProxy::Exit();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 1);
    VondProxy::UpdateSDKEvent();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 1);
    EXPECT_EQ(VondSdk::FPlatform::GetPlatformHandle(), nullptr);
}

TEST_F(EosStartup, GameSuppliedIdsStartEosWithTheBackendDown) {
    vondtest::RefusingPort refusing;
    vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin(true));
    VondSdk::LaunchArgs::Parse(L"game.exe -epicsandboxid=from-launcher");

    auto info = std::make_shared<EosGameInfo>(vondtest::FullGameInfo());
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -502);
    EXPECT_EQ(records[1].code, 200);
    EXPECT_EQ(records[1].message, L"Epic Init Success!");
    // What the game gave is never replaced.
    EXPECT_EQ(info->sandboxId, "sandbox-1");

    // A second Init only answers that the SDK runs.
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 3u);
    EXPECT_EQ(Recorder::Records()[2].message, L"Sdk already init.");
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Create"), 1);
    VondProxy::Exit();
}

TEST_F(EosStartup, NoSandboxIdAnywhereFailsStartUp) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply([](const std::string&) { return HttpAnswer(200, kEpicConfig); });
    PointAt(server);
    VondSdk::LaunchArgs::Parse(L"game.exe -epicdeploymentid=deployment-9");

    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -402);
    EXPECT_EQ(records[0].message, L"Epic Init Failure!");
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Create"), 0);

    // The launcher was late with its id (a game that fills it in itself): start-up may be
    // repeated in the same process and then succeeds.
    auto info = std::make_shared<EosGameInfo>();
    info->sandboxId = "sandbox-late";
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].code, 200);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Initialize"), 1);
    VondProxy::Exit();
}

// A player who starts the game offline: the ids of the last configuration that came are kept
// in the data folder and fill what the game and the launcher left empty; the game's own win.
TEST_F(EosStartup, OfflineStartUpTakesTheEosIdsOfTheKeptConfiguration) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply([](const std::string&) { return HttpAnswer(200, kEpicConfig); });
    PointAt(server);
    VondSdk::LaunchArgs::Parse(L"game.exe -epicdeploymentid=deployment-9");

    // Online, but no sandbox id anywhere: EOS does not start, the configuration is kept.
    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 1u);
    EXPECT_EQ(Recorder::Records()[0].code, -402);
    std::string kept;
    ASSERT_TRUE(vondtest::ReadFile(data_.Path() + "/app-1/ClientConfig", kept));
    EXPECT_NE(kept.find("\"epicProductId\":\"product-1\""), std::string::npos) << kept;

    // Offline: the backend never answers; the deadline ends the wait.
    server.NeverAnswer();
    vond_set_startup_timeout_ms(1000);
    auto info = std::make_shared<EosGameInfo>();
    info->sandboxId = "sandbox-1";
    info->productName = "GameOwnName";
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].code, -502);
    EXPECT_EQ(records[2].code, 200);
    EXPECT_EQ(records[2].message, L"Epic Init Success!");
    EXPECT_EQ(info->productId, "product-1");
    EXPECT_EQ(info->clientId, "client-1");
    EXPECT_EQ(info->clientSecret, "secret-1");
    EXPECT_EQ(info->productName, "GameOwnName");
    EXPECT_EQ(info->deploymentId, "deployment-9");
    VondProxy::Exit();
}

// EOS may take long to create its platform (a real one loads its overlay and caches there):
// a game that pumps every frame while another of its threads starts the SDK never waits for it.
TEST_F(EosStartup, FramesNeverWaitForAStartUpCreatingThePlatform) {
    vondtest::RefusingPort refusing;
    vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin(true));
    auto info = std::make_shared<EosGameInfo>(vondtest::FullGameInfo());
    EOSSim_HoldPlatformCreate(1);
    std::thread startUp([info] { VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback); });
    ASSERT_TRUE(vondtest::WaitUntil([] { return EOSSim_HoldPlatformCreate(1) == 1; }));
    // While the platform is being created, frames come and go without ticking.
    auto frames = std::async(std::launch::async, [] {
        for (int frame = 0; frame < 3; ++frame) VondProxy::UpdateSDKEvent();
    });
    const bool framesReturned = frames.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(framesReturned) << "a frame waited for the platform's creation";
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 0);
    EOSSim_HoldPlatformCreate(0);
    startUp.join();
    if (!framesReturned) frames.wait();
    ASSERT_FALSE(Recorder::Records().empty());
    EXPECT_EQ(Recorder::Records().back().message, L"Epic Init Success!");
    // Once the platform exists, the next frame ticks it.
    VondProxy::UpdateSDKEvent();
    EXPECT_GE(EOSSim_GetCallCount("EOS_Platform_Tick"), 1);
    VondProxy::Exit();
}

// Exit while the start-up thread is still creating the platform (a real EOS loads its overlay
// and caches there), in both modes: the game's thread never waits for that, and the start-up,
// as it leaves, takes EOS down (EOS not kept) or lets the next Init start a session on the
// platform it made (EOS kept).
void ExitWhileThePlatformIsCreated(bool keepEos) {
    vondtest::RefusingPort refusing;
    vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin(true));
    ASSERT_EQ(vond_set_keep_eos_between_sessions(keepEos ? 1 : 0), 0) << "set before any Init of this process";
    auto info = std::make_shared<EosGameInfo>(vondtest::FullGameInfo());
    EOSSim_HoldPlatformCreate(1);
    std::thread startUp([info] { VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback); });
    ASSERT_TRUE(vondtest::WaitUntil([] { return EOSSim_HoldPlatformCreate(1) == 1; }));
    auto exited = std::async(std::launch::async, [] { VondProxy::Exit(); });
    // Held until Exit has returned: an Exit that waits for the creation never does.
    const bool returned = exited.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "Exit waited for the platform's creation";
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 0);
    EOSSim_HoldPlatformCreate(0);
    startUp.join();
    if (!returned) exited.wait();
    ASSERT_FALSE(Recorder::Records().empty());
    EXPECT_EQ(Recorder::Records().back().message, L"Epic Init Failure!");
    if (!keepEos) {
        EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 1);
        EXPECT_EQ(VondSdk::FPlatform::GetPlatformHandle(), nullptr);
        return;
    }
    // The next session starts on the platform the interrupted start-up made.
    Recorder::Clear();
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    ASSERT_FALSE(Recorder::Records().empty());
    EXPECT_EQ(Recorder::Records().back().message, L"Epic Init Success!");
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Create"), 1);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 0);
    VondProxy::Exit();
}

TEST_F(EosStartup, ExitDuringPlatformCreationLeavesTheShutDownToTheStartUp) {
    ExitWhileThePlatformIsCreated(false);
}

TEST_F(EosStartup, KeptEosExitDuringPlatformCreationLeavesTheNextInitToWait) {
    ExitWhileThePlatformIsCreated(true);
}
