// Event tracking: the machine facts' names, and the exact event bodies that reach a backend
// on loopback through the exported functions, with the counter kept in AppConf.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "platform/Platform.h"
#include "src/CVondCore.h"
#include "src/CVondTrack.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"
#include "utils/VondConfigUtils.h"

using nlohmann::json;
using VondSdk::CVondCore;
using VondSdk::CVondTrack;
using vondtest::LoopbackServer;
using vondtest::Recorder;

namespace {

constexpr char kTrackPath[] = "/data/h5/v1.do";
const double kNoValue = std::numeric_limits<double>::quiet_NaN();

std::string HttpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

bool IsRequestFor(const std::string& request, const std::string& path) {
    return request.rfind("POST " + path + " ", 0) == 0;
}

std::string BodyOf(const std::string& request) {
    const size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
}

// A fresh installation in private folders, started against a loopback backend that marks
// the device as a test device (so the log is written) and refuses the attribution (so
// AppConf holds only what the event counter wrote).
class Tracking : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::TrustTestCa();
        Recorder::Clear();
        server_.Reply([](const std::string& request) {
            if (IsRequestFor(request, "/sdkapi/v3/config/client.do"))
                return HttpAnswer(200, R"({"code":200,"isTestDevice":1})");
            // Only an envelope that says 200 acknowledges an event.
            if (IsRequestFor(request, kTrackPath)) return HttpAnswer(200, R"({"code":200,"msg":"Success"})");
            return HttpAnswer(500, "busy");
        });
        vondtest::SetEnv("VOND_SDK_ORIGIN", server_.Url(""));
    }
    void Start() { VondProxy::Init(L"app-1", L"key-1", &Recorder::Callback); }

    // The bodies of the tracking posts received so far, in arrival order.
    std::vector<std::string> Events() const {
        std::vector<std::string> bodies;
        for (const auto& request : server_.Requests()) {
            if (IsRequestFor(request, kTrackPath)) bodies.push_back(BodyOf(request));
        }
        return bodies;
    }
    // The raw body of the event numbered n<number>, once it has arrived (the outbox's writer
    // sends it after its group reached the disk); empty after the bound.
    std::string Body(size_t number) const {
        const std::string order = "\"eventOrder\":\"n" + std::to_string(number) + "\"";
        std::string found;
        vondtest::WaitUntil([&] {
            for (const auto& body : Events()) {
                if (body.find(order) != std::string::npos) found = body;
            }
            return !found.empty();
        });
        EXPECT_FALSE(found.empty()) << "no event n" << number;
        return found;
    }
    // The same, parsed; the body must be compact JSON with its members sorted, which is
    // exactly what re-serialising the parsed value gives.
    json Event(size_t number) const {
        const std::string body = Body(number);
        json parsed = json::parse(body, nullptr, false);
        EXPECT_EQ(parsed.dump(), body);
        return parsed.is_discarded() ? json::object() : parsed;
    }
    std::string AppConf() const {
        std::string text;
        vondtest::ReadFile(data_.Path() + "/app-1/AppConf", text);
        return text;
    }
    std::string Log() const {
        std::string text;
        vondtest::ReadFile(cwd_.Path() + "/vondlog.log", text);
        return text;
    }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    vondtest::TempDir data_;
    vondtest::TempDir cwd_;
    vondtest::ScopedCurrentDir inside_{cwd_.Path()};
    LoopbackServer server_{vondtest::ServerCert::Trusted};
};

}  // namespace

TEST(TrackNaming, TimeZoneTextTruncatesTowardsZero) {
    EXPECT_EQ(VondSdk::TimeZoneText(0), "UTC0");
    EXPECT_EQ(VondSdk::TimeZoneText(-480), "UTC+8");
    EXPECT_EQ(VondSdk::TimeZoneText(210), "UTC-3");   // UTC-3:30
    EXPECT_EQ(VondSdk::TimeZoneText(-330), "UTC+5");  // UTC+5:30
    EXPECT_EQ(VondSdk::TimeZoneText(300), "UTC-5");
    EXPECT_EQ(VondSdk::TimeZoneText(-840), "UTC+14");
    EXPECT_EQ(VondSdk::TimeZoneText(720), "UTC-12");
    EXPECT_EQ(VondSdk::TimeZoneText(30), "UTC0");  // half an hour west is no whole hour
}

TEST(TrackNaming, WindowsVersionsAreNamedByTheTable) {
    EXPECT_EQ(VondSdk::WindowsVersionName(10, 0, 19045), "Windows 10");
    EXPECT_EQ(VondSdk::WindowsVersionName(10, 0, 22621), "Windows 11");
    EXPECT_EQ(VondSdk::WindowsVersionName(10, 0, 22000), "Windows 10");  // 11 starts after 22000
    EXPECT_EQ(VondSdk::WindowsVersionName(10, 0, 22001), "Windows 11");
    EXPECT_EQ(VondSdk::WindowsVersionName(6, 3, 9600), "Windows 8.1");
    EXPECT_EQ(VondSdk::WindowsVersionName(6, 2, 9200), "Windows 8");
    EXPECT_EQ(VondSdk::WindowsVersionName(6, 1, 7601), "Windows 7");
    EXPECT_EQ(VondSdk::WindowsVersionName(6, 0, 6002), "_unknown");  // Vista
    EXPECT_EQ(VondSdk::WindowsVersionName(5, 1, 2600), "_unknown");
    EXPECT_EQ(VondSdk::ValueOrUnknown(""), "_unknown");
    EXPECT_EQ(VondSdk::ValueOrUnknown("s1"), "s1");
}

TEST(TrackNaming, CustomEventsGetThePrefixOnce) {
    const CVondTrack& track = CVondTrack::Instance();
    EXPECT_EQ(track.NormalizeEventName("qlx_startup"), "qlx_startup");
    EXPECT_EQ(track.NormalizeEventName("qlx_user_info_update"), "qlx_user_info_update");
    EXPECT_EQ(track.NormalizeEventName("purchase_done"), "qlx_self_purchase_done");
    EXPECT_EQ(track.NormalizeEventName("qlx_self_x"), "qlx_self_x");
    EXPECT_EQ(track.NormalizeEventName("qlx_self_"), "qlx_self_qlx_self_");
    EXPECT_EQ(track.NormalizeEventName("qlx_login2"), "qlx_self_qlx_login2");
}

TEST_F(Tracking, FirstEventsAfterAFreshInstallAreNumberedFromOne) {
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    Start();
    const json startup = Event(1);
    ASSERT_TRUE(startup.contains("context"));
    EXPECT_EQ(AppConf(), R"({"AttributionFlag":0,"EventOrder":1})");

    std::string shared;
    ASSERT_TRUE(vondtest::ReadFile(data_.Path() + "/SharedConf", shared));
    const std::string clientId = json::parse(shared).at("ClientId").get<std::string>();
    ASSERT_FALSE(clientId.empty());
    const int64_t sdkTime = startup.at("sdkTime").get<int64_t>();
    EXPECT_GE(sdkTime, before);
    EXPECT_LE(sdkTime - before, 60 * 1000);

    // The machine facts come from the OS; the rest of the body is fixed.
    const json& context = startup.at("context");
    ASSERT_EQ(context.size(), 3u) << context.dump();
    const std::string expected =
        R"({"appId":"app-1","context":{"os":)" + context.at("os").dump() +
        R"(,"resolution":)" + context.at("resolution").dump() + R"(,"tz":)" + context.at("tz").dump() +
        R"(},"deviceId":")" + clientId + R"(","event":"qlx_startup","eventOrder":"n1","fingerId":")" + clientId +
        R"(","gamePlatform":"epic","gameUserId":"_unknown","platform":"html5","sdkTime":)" +
        std::to_string(sdkTime) +
        R"(,"sdkType":"html5","sdkVersion":"EpicEXE_1.0.0","serverId":"_unknown","userId":-1})";
    EXPECT_EQ(Body(1), expected);
    EXPECT_EQ(context.at("tz").get<std::string>().rfind("UTC", 0), 0u);
    EXPECT_NE(context.at("resolution").get<std::string>().find('x'), std::string::npos);
    EXPECT_FALSE(context.at("os").get<std::string>().empty());

    // The tracking post is plain text, unsigned and without the common form parameters.
    std::string request;
    for (const auto& each : server_.Requests()) {
        if (IsRequestFor(each, kTrackPath)) request = each;
    }
    EXPECT_NE(request.find("Content-Type: text/plain;charset=UTF-8\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("x-www-form-urlencoded"), std::string::npos);
    EXPECT_EQ(request.find("osign"), std::string::npos);

    VondProxy::PostEvent(L"purchase_done", L"", kNoValue);
    const json second = Event(2);
    EXPECT_EQ(second.at("eventOrder"), "n2");
    EXPECT_EQ(second.at("event"), "qlx_self_purchase_done");
    EXPECT_FALSE(second.contains("value"));
    EXPECT_EQ(AppConf(), R"({"AttributionFlag":0,"EventOrder":2})");
    EXPECT_TRUE(vondtest::WaitUntil([&] { return Logged("Post Event resp: {\"code\":200,\"msg\":\"Success\"}"); }));
}

TEST_F(Tracking, NamesLevelAndValueFollowTheEvent) {
    Start();
    VondProxy::SetLevel(7);
    VondProxy::PostEvent(L"qlx_level_achieved", L"", 3);
    json event = Event(2);
    EXPECT_EQ(event.at("event"), "qlx_level_achieved");
    EXPECT_NE(Body(2).find(R"("value":3.0)"), std::string::npos) << Body(2);
    const json& context = event.at("context");
    EXPECT_EQ(context.size(), 4u);
    EXPECT_EQ(context.at("level"), 7);
    for (const char* key : {"os", "resolution", "tz"}) EXPECT_TRUE(context.contains(key)) << key;

    // A hyphen breaks the name rule: logged, and posted all the same with the prefix.
    VondProxy::PostEvent(L"level-up", L"", kNoValue);
    event = Event(3);
    EXPECT_EQ(event.at("event"), "qlx_self_level-up");
    EXPECT_FALSE(event.at("context").contains("level"));
    EXPECT_TRUE(Logged("[ERROR]: Post Event Name Error:level-up"));

    VondProxy::PostEvent(L"qlx_self_", L"", 0.5);
    event = Event(4);
    EXPECT_EQ(event.at("event"), "qlx_self_qlx_self_");
    EXPECT_EQ(event.at("value"), 0.5);
    EXPECT_FALSE(Logged("Post Event Name Error:qlx_self_\n"));
}

TEST_F(Tracking, CallerParamsJoinTheContextAndBadTextIsLeftOut) {
    Start();
    VondProxy::PostEvent(L"shop", L"{\"a b\":1,\"score\":10,\"tz\":\"mine\"}", kNoValue);
    json event = Event(2);
    EXPECT_EQ(event.at("context").at("a b"), 1);
    EXPECT_EQ(event.at("context").at("score"), 10);
    EXPECT_EQ(event.at("context").at("tz"), "mine");  // the caller's member wins
    EXPECT_EQ(event.at("context").size(), 5u);
    EXPECT_TRUE(Logged("[ERROR]: Post Event Param Error:a b"));
    EXPECT_FALSE(Logged("Post Event Param Error:score"));

    // Text that is not JSON, and JSON that is not an object, add nothing, are logged, and
    // the event still goes out with only the machine facts in its context.
    const std::vector<std::wstring> unusable = {L"{oops", L"[1,2]", L"\"text\"", L"42", L"true"};
    for (size_t i = 0; i < unusable.size(); ++i) {
        VondProxy::PostEvent(L"shop", unusable[i], kNoValue);
        event = Event(3 + i);
        EXPECT_EQ(event.at("context").size(), 3u) << event.dump();
        EXPECT_EQ(event.at("eventOrder"), "n" + std::to_string(3 + i));
    }
    for (const char* text : {"{oops", "[1,2]", "\"text\"", "42", "true"}) {
        EXPECT_TRUE(Logged(std::string("[ERROR]: Post Event Param Error, Not Valid JSON:") + text)) << text;
    }
    // null has no members and is not an error.
    VondProxy::PostEvent(L"shop", L"null", kNoValue);
    EXPECT_EQ(Event(8).at("context").size(), 3u);
    EXPECT_FALSE(Logged("Not Valid JSON:null"));
}

TEST_F(Tracking, ReservedEventRulesAreLoggedAndNeverStopThePost) {
    Start();
    VondProxy::PostEvent(L"qlx_user_import", L"{\"isFirstEnter\":2}", kNoValue);
    VondProxy::PostEvent(L"qlx_user_import", L"{}", kNoValue);
    VondProxy::PostEvent(L"qlx_user_import", L"{\"isFirstEnter\":1}", kNoValue);
    EXPECT_TRUE(Logged("[INFO]: Star Check Event Name:qlx_user_import,Params:{\"isFirstEnter\":2}"));
    EXPECT_TRUE(Logged("[ERROR]: Check Event Error, Param Value Incorrect, Name:isFirstEnter, Value:2"));
    EXPECT_TRUE(Logged("[ERROR]: Check Event Error, Not Contain Musted Param, Name:isFirstEnter"));

    VondProxy::PostEvent(L"qlx_user_create", L"{\"nickname\":\"\",\"registerTime\":1700000000000}", kNoValue);
    EXPECT_TRUE(Logged("Param Value Incorrect, Name:nickname, Value:\"\""));
    EXPECT_FALSE(Logged("Name:registerTime"));
    VondProxy::PostEvent(L"qlx_user_create", L"{\"nickname\":\"Ann\",\"registerTime\":1700000000}", kNoValue);
    EXPECT_TRUE(Logged("Param Value Incorrect, Name:registerTime, Value:1700000000"));
    EXPECT_FALSE(Logged("Name:nickname, Value:\"Ann\""));

    VondProxy::PostEvent(L"qlx_user_info_update", L"", kNoValue);
    EXPECT_TRUE(Logged("[ERROR]: Event Check Param Error, Params Not Json:\n") ||
                Logged("[ERROR]: Event Check Param Error, Params Not Json:\r\n"));
    // Events without a rule are not checked at all.
    VondProxy::PostEvent(L"qlx_startup", L"[1]", kNoValue);
    EXPECT_FALSE(Logged("Star Check Event Name:qlx_startup"));

    json created = Event(5);
    EXPECT_EQ(created.at("event"), "qlx_user_create");
    EXPECT_EQ(created.at("context").at("level"), 0);
    EXPECT_EQ(created.at("context").at("nickname"), "");
    EXPECT_EQ(created.at("context").at("registerTime"), 1700000000000LL);
    // Every one of them went out.
    EXPECT_TRUE(vondtest::WaitUntil([&] { return Events().size() >= 8; }));
    EXPECT_EQ(Events().size(), 8u);
}

TEST_F(Tracking, LoginEventCarriesTheAccountAndTheBackendUserId) {
    Start();
    CVondCore::Instance().SetSession("token", "123456789012");
    CVondTrack::Instance().RefreshUserId();
    CVondTrack::Instance().PostLoginEvent("EPIC", "epic-account-1");
    json login = Event(2);
    EXPECT_EQ(login.at("event"), "qlx_login");
    EXPECT_EQ(login.at("userId"), 123456789012LL);
    json context = login.at("context");
    EXPECT_EQ(context.at("loginPlatform"), "EPIC");
    EXPECT_EQ(context.at("puserId"), "epic-account-1");
    for (const char* key : {"os", "resolution", "tz", "loginPlatform", "puserId"}) context.erase(key);
    EXPECT_TRUE(context.empty()) << context.dump();

    // A user id that is no number cannot end the login: the events carry -1.
    CVondCore::Instance().SetSession("token", "u-77");
    EXPECT_NO_THROW(CVondTrack::Instance().RefreshUserId());
    CVondTrack::Instance().PostLoginEvent("EPIC", "epic-account-1");
    EXPECT_EQ(Event(3).at("userId"), -1);
    EXPECT_TRUE(Logged("Refresh User Id Error:u-77"));
    CVondCore::Instance().SetSession("token", "99999999999999999999");
    EXPECT_NO_THROW(CVondTrack::Instance().RefreshUserId());
}

TEST_F(Tracking, GameUserDetailsFromTheSettersArriveAsUtf8) {
    Start();
    VondProxy::SetGameUserId(L"\u73a9\u5bb6\u4e00\u53f7");  // 玩家一号
    VondProxy::SetServerId(L"\u4e00\u533a");              // 一区
    VondProxy::SetNickName(L"");
    VondProxy::PostEvent(L"enter", L"", kNoValue);
    const std::string body = Body(2);
    EXPECT_NE(body.find("\"gameUserId\":\"\xe7\x8e\xa9\xe5\xae\xb6\xe4\xb8\x80\xe5\x8f\xb7\""), std::string::npos)
        << body;
    EXPECT_NE(body.find("\"serverId\":\"\xe4\xb8\x80\xe5\x8c\xba\""), std::string::npos) << body;

    VondProxy::SetServerId(L"");
    VondProxy::PostEvent(L"leave", L"", kNoValue);
    EXPECT_EQ(Event(3).at("serverId"), "_unknown");
}

TEST_F(Tracking, EventBeforeInitIsDroppedAndCountsNothing) {
    VondProxy::PostEvent(L"early", L"{\"a\":1}", 1.0);
    VondProxy::PostEvent(L"early", L"[", kNoValue);
    EXPECT_FALSE(vondtest::FileExists(data_.Path() + "/AppConf"));
    EXPECT_FALSE(vondtest::FileExists(data_.Path() + "/app-1/AppConf"));
    Start();
    EXPECT_EQ(Event(1).at("eventOrder"), "n1");
    EXPECT_EQ(Event(1).at("event"), "qlx_startup");
}

TEST_F(Tracking, EventsFromManyThreadsNeverShareANumberNorSeeHalfASetter) {
    Start();
    constexpr int kThreads = 4;
    constexpr int kEach = 20;
    const std::set<std::string> names = {"_unknown", "alpha-user-with-a-long-name", "b"};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                if (t == 0) VondProxy::SetGameUserId(i % 2 ? L"alpha-user-with-a-long-name" : L"b");
                VondProxy::PostEvent(L"tick", L"{\"i\":1}", kNoValue);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const size_t total = 1 + kThreads * kEach;
    ASSERT_TRUE(vondtest::WaitUntil([&] { return Events().size() >= total; }));
    std::set<std::string> orders;
    for (const auto& body : Events()) {
        const json event = json::parse(body);
        orders.insert(event.at("eventOrder").get<std::string>());
        EXPECT_EQ(names.count(event.at("gameUserId").get<std::string>()), 1u) << body;
    }
    EXPECT_EQ(orders.size(), total);
    EXPECT_EQ(AppConf(), R"({"AttributionFlag":0,"EventOrder":)" + std::to_string(total) + "}");
}

// The counter itself, taken from eight threads at once while the attribution writer rewrites
// the same file; every thread reads the file back after each number it takes.
TEST(EventOrder, EightThreadsGetDistinctNumbersAndTheFileAlwaysParses) {
    vondtest::TempDir data;
    vondtest::SetEnv("VOND_SDK_DATA_DIR", data.Path());
    CVondCore::Instance().InitGlobalParams("app-2", "key");
    const std::string path = VondSdk::VondConfigUtils::GetAppConfigPath();
    ASSERT_EQ(path, data.Path() + "/app-2/AppConf");
    vondtest::WriteFile(path, R"({"EventOrder":0,"kept":"by hand"})");

    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::vector<std::vector<std::string>> taken(kThreads);
    std::atomic<int> unreadable{0};
    std::atomic<int> reads{0};
    std::thread attribution([&] {
        for (int i = 0; i < 50; ++i) {
            VondSdk::VondConfigUtils::UpdateConfigJson(false, [](json& conf) {
                conf["AttributionFlag"] = 1;
                return true;
            });
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                taken[t].push_back(CVondTrack::Instance().NextEventOrder());
                std::string text;
                // Windows cannot open a file in the instant a rename replaces it.
                if (!vondtest::ReadFile(path, text)) continue;
                ++reads;
                const json parsed = json::parse(text, nullptr, false);
                if (!parsed.is_object() || !parsed.contains("EventOrder") || parsed.value("kept", "") != "by hand") {
                    ++unreadable;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    attribution.join();

    std::set<std::string> all;
    for (const auto& numbers : taken) all.insert(numbers.begin(), numbers.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
    EXPECT_EQ(all.count("n1"), 1u);
    EXPECT_EQ(all.count("n4000"), 1u);
    EXPECT_EQ(unreadable.load(), 0);
    EXPECT_GT(reads.load(), kThreads * kEach / 2);
    std::string text;
    ASSERT_TRUE(vondtest::ReadFile(path, text));
    EXPECT_EQ(text, R"({"AttributionFlag":1,"EventOrder":4000,"kept":"by hand"})");
}

TEST(EventOrder, AnUnwritableCounterStillNeverRepeatsANumber) {
    // A data folder that cannot be made (its parent is a file) leaves the SDK on its fixed
    // fallback folder, which it never creates: every write of the counter is dropped.
    vondtest::TempDir data;
    vondtest::TempDir cwd;
    vondtest::ScopedCurrentDir inside(cwd.Path());
    vondtest::WriteFile(data.Path() + "/file", "");
    vondtest::SetEnv("VOND_SDK_DATA_DIR", data.Path() + "/file/sdk");
    CVondCore::Instance().InitGlobalParams("app-3", "key");
    ASSERT_FALSE(vondtest::FileExists(VondSdk::VondConfigUtils::GetAppConfigPath()));
    EXPECT_EQ(CVondTrack::Instance().NextEventOrder(), "n1");
    EXPECT_EQ(CVondTrack::Instance().NextEventOrder(), "n2");
    EXPECT_EQ(CVondTrack::Instance().NextEventOrder(), "n3");
    EXPECT_FALSE(vondtest::FileExists(VondSdk::VondConfigUtils::GetAppConfigPath()));
}
