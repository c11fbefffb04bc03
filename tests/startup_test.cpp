// Start-up against a backend on loopback: what the game hears, what is sent, what is kept.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "http/Sion.h"
#include "http/SionAsync.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

using vondtest::LoopbackServer;
using vondtest::Recorder;

namespace {

constexpr char kConfigPath[] = "/sdkapi/v3/config/client.do";
constexpr char kAttributionPath[] = "/sdkapi/v1/attribution.do";

std::string HttpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool IsRequestFor(const std::string& request, const std::string& path) {
    return request.rfind("POST " + path + " ", 0) == 0;
}

// The backend requests proper, without the tracking posts (the start-up event goes out
// beside the configuration request).
size_t BackendRequests(const LoopbackServer& server) {
    size_t count = 0;
    for (const auto& request : server.Requests()) count += request.rfind("POST /sdkapi/", 0) == 0;
    return count;
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// A private data directory and working directory, and the SDK pointed at the server.
class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::TrustTestCa();
        Recorder::Clear();
    }
    void PointAt(const LoopbackServer& server) { vondtest::SetEnv("VOND_SDK_ORIGIN", server.Url("")); }
    std::string AppConf() {
        std::string text;
        vondtest::ReadFile(data_.Path() + "/app-1/AppConf", text);
        return text;
    }
    std::string Log() {
        std::string text;
        vondtest::ReadFile(cwd_.Path() + "/vondlog.log", text);
        return text;
    }

    vondtest::TempDir data_;
    vondtest::TempDir cwd_;
    vondtest::ScopedCurrentDir inside_{cwd_.Path()};
};

}  // namespace

TEST_F(Startup, TestDeviceLogsAndAttributionIsSentOncePerInstallation) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply([](const std::string& request) {
        if (IsRequestFor(request, kConfigPath)) return HttpAnswer(200, R"({"code":200,"msg":"ok","isTestDevice":1})");
        return HttpAnswer(200, R"({"code":200,"msg":"ok"})");
    });
    PointAt(server);

    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    // Without an EOS platform start-up ends as a failed EOS start; the configuration request
    // itself succeeded, so the game hears nothing else.
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -402);
    EXPECT_EQ(records[0].message, L"Epic Init Failure!");

    // The attribution was queued before Init returned; its success is remembered.
    ASSERT_TRUE(vondtest::WaitUntil([&] { return AppConf().find("\"AttributionFlag\":1") != std::string::npos; }));
    ASSERT_TRUE(vondtest::WaitUntil([&] { return Log().find("Send Attribution Success.") != std::string::npos; }));
    EXPECT_EQ(CountOf(Log(), "请求地址：" + server.Url(kAttributionPath)), 1u) << Log();
    EXPECT_NE(Log().find("[INFO]: "), std::string::npos);

    // A second start-up after the failed one reuses the running pool and sends the
    // configuration request again, but never the attribution: the log shows every request
    // queued once logging is back on, and start-up queues the attribution before it returns.
    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 2u);
    EXPECT_EQ(CountOf(Log(), "请求地址：" + server.Url(kAttributionPath)), 1u);

    int configRequests = 0;
    for (const auto& request : server.Requests()) configRequests += IsRequestFor(request, kConfigPath);
    EXPECT_EQ(configRequests, 2);
}

TEST_F(Startup, OrdinaryDeviceWritesNoLogAndRetriesAFailedAttribution) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply([](const std::string& request) {
        if (IsRequestFor(request, kConfigPath)) return HttpAnswer(200, R"({"code":200,"isTestDevice":0})");
        return HttpAnswer(500, "busy");
    });
    PointAt(server);

    // Each start-up sends the configuration, the product pre-load and the attribution.
    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    ASSERT_TRUE(vondtest::WaitUntil([&] { return BackendRequests(server) == 3; }));
    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    ASSERT_TRUE(vondtest::WaitUntil([&] { return BackendRequests(server) == 6; }));

    int attributions = 0;
    for (const auto& request : server.Requests()) attributions += IsRequestFor(request, kAttributionPath);
    EXPECT_EQ(attributions, 2);
    EXPECT_FALSE(vondtest::FileExists(cwd_.Path() + "/vondlog.log"));
    EXPECT_EQ(AppConf().find("\"AttributionFlag\":1"), std::string::npos);
}

TEST_F(Startup, FailedConfigurationReachesTheGameFirst) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply(HttpAnswer(500, R"({"code":500})"));
    PointAt(server);

    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -502);
    EXPECT_EQ(records[0].message, L"Http Code:500, Msg:");
    EXPECT_EQ(records[0].data, L"");
    EXPECT_NE(records[0].thread, std::this_thread::get_id());
    EXPECT_EQ(records[1].code, -402);
    EXPECT_EQ(records[1].thread, std::this_thread::get_id());
    // No attribution after a failed configuration request.
    EXPECT_EQ(BackendRequests(server), 1u);
}

TEST_F(Startup, UnreadableConfigurationStillEndsStartUp) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply(HttpAnswer(200, R"({"code":200,"isTestDevice":"yes","epicProductId":7})"));
    PointAt(server);
    auto info = std::make_shared<EosGameInfo>();
    info->productId = "game-supplied";
    VondProxy::Init(L"app-1", L"key-1", info, &Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 1u);
    EXPECT_EQ(Recorder::Records()[0].code, -402);
    EXPECT_EQ(info->productId, "game-supplied");
    EXPECT_EQ(info->productVersion, "1.0.0");
    EXPECT_FALSE(vondtest::FileExists(cwd_.Path() + "/vondlog.log"));

    // A body that is not JSON at all gives the game -501 and still ends start-up.
    Recorder::Clear();
    server.Reply(HttpAnswer(200, "<html>"));
    VondProxy::Init(L"app-1", L"key-1", nullptr, &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -501);
    EXPECT_EQ(records[1].code, -402);
}

TEST_F(Startup, SilentBackendEndsStartUpWithinTheTimeOut) {
    sion::SetTimeouts(std::chrono::seconds(1), std::chrono::seconds(1));
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.NeverAnswer();
    PointAt(server);

    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -502);
    EXPECT_EQ(records[0].message.rfind(L"Http Code:, Msg:", 0), 0u);
    EXPECT_EQ(records[1].code, -402);
}

TEST_F(Startup, ExitDuringStartUpReleasesTheWaitingGame) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.NeverAnswer();
    PointAt(server);

    std::thread game([] { VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback); });
    ASSERT_TRUE(server.WaitRequests(1));
    VondProxy::Exit();
    game.join();
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -402);
}

TEST_F(Startup, UnreachableBackendIsReportedAndStartUpEnds) {
    vondtest::RefusingPort refusing;
    vondtest::SetEnv("VOND_SDK_ORIGIN", refusing.Origin(true));

    VondProxy::Init(L"", L"", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -502);
    EXPECT_NE(records[0].message.find(L"连接失败:"), std::wstring::npos);
    EXPECT_EQ(records[1].code, -402);
}

namespace {

void ThrowingCallback(int code, std::wstring message, std::wstring data) {
    Recorder::Callback(code, message, data);
    // Not a std::exception: a game written in another language's runtime may throw anything.
    if (code != -402) throw 42;
}

}  // namespace

TEST_F(Startup, GameCallbackThrowingAnythingStillEndsStartUp) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply(HttpAnswer(503, "down"));
    PointAt(server);

    VondProxy::Init(L"app-1", L"key-1", &ThrowingCallback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -502);
    EXPECT_EQ(records[1].code, -402);
}

TEST_F(Startup, ExitReleasesEveryStartUpWaitingAtOnce) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.NeverAnswer();
    PointAt(server);

    std::thread first([] { VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback); });
    std::thread second([] { VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback); });
    ASSERT_TRUE(server.WaitRequests(2));
    VondProxy::Exit();
    first.join();
    second.join();
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].code, -402);
    EXPECT_EQ(records[1].code, -402);
}

TEST_F(Startup, PoolThatCannotStartEndsInitWithOneFailure) {
    LoopbackServer server(vondtest::ServerCert::Trusted);
    server.Reply(HttpAnswer(200, R"({"code":200})"));
    PointAt(server);
    std::atomic<int> made{0};
    sion::Pool().SetThreadFactory([&made](std::function<void()> body) {
        if (made.fetch_add(1) == 2)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    });

    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -402);
    EXPECT_EQ(records[0].message, L"Epic Init Failure!");
    EXPECT_TRUE(server.Requests().empty());

    // The failed start left nothing joinable behind: a later start-up works and Exit ends.
    sion::Pool().SetThreadFactory(nullptr);
    Recorder::Clear();
    VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 1u);
    EXPECT_TRUE(server.WaitRequests(1));
    VondProxy::Exit();
}
