#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "VondProxy.h"
#include "src/CVondCore.h"
#include "src/OrderWriter.h"
#include "support/TestEnv.h"
#include "utils/VondLogging.h"

using vondtest::Recorder;

namespace {

// True when the log holds a line ending in text (the file's line ends differ by system).
bool HasLineEndingWith(const std::string& log, const std::string& text) {
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

TEST(CoreChecks, LoginAndCallPayBeforeInitAreRefusedAtOnceOnTheCallersThread) {
    Recorder::Clear();
    VondProxy::Login(&Recorder::Callback);
    // Answered before Login returned, so no thread was needed for it.
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -401);
    EXPECT_EQ(records[0].message, L"Sdk Not Init.");
    EXPECT_EQ(records[0].data, L"");
    EXPECT_EQ(records[0].thread, std::this_thread::get_id());

    VondProxy::CallPay(L"product-1", L"{\"a\":1}", &Recorder::Callback);
    records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].code, -401);
    EXPECT_EQ(records[1].message, L"Sdk Not Init.");
    EXPECT_EQ(records[1].thread, std::this_thread::get_id());

    // A null callback is accepted by the checks.
    VondProxy::Login(nullptr);
    VondProxy::CallPay(L"", L"", nullptr);
    EXPECT_EQ(Recorder::Records().size(), 2u);
}

// Exit returns at once before Init, and never before the order records still queued for the
// store are written: a settled order lost at Exit would be a paid purchase nobody reports.
TEST(CoreChecks, ExitBeforeInitReturnsAndFirstWritesQueuedOrderRecords) {
    std::atomic<bool> written{false};
    VondSdk::orderwriter::Submit([&written] {
        // A store write that is still under way when the game calls Exit.
        vondtest::WaitUntil([] { return VondSdk::CVondCore::Instance().IsExited(); });
        written = true;
    });
    VondProxy::Exit();
    EXPECT_TRUE(written.load());
    VondProxy::Exit();
}

TEST(CoreSetters, LogTheirValuesWhenLoggingIsOn) {
    vondtest::TempDir cwd;
    vondtest::ScopedCurrentDir inside(cwd.Path());
    VondSdk::ConfigureLogging(true);
    VondProxy::SetLevel(0);
    VondProxy::SetNickName(L"\x52C7\x8005&=+%");
    VondProxy::SetServerId(L"s1");
    VondProxy::SetGameUserId(L"u-9");

    std::string log;
    ASSERT_TRUE(vondtest::ReadFile(cwd.Path() + "/vondlog.log", log));
    EXPECT_TRUE(HasLineEndingWith(log, "[INFO]: Set Game User Info, SetLevel:0")) << log;
    EXPECT_TRUE(HasLineEndingWith(log, "Set Game User Info, SetNickName:\xE5\x8B\x87\xE8\x80\x85&=+%"));
    EXPECT_TRUE(HasLineEndingWith(log, "Set Game User Info, SetServerId:s1"));
    EXPECT_TRUE(HasLineEndingWith(log, "Set Game User Info, SetGameUserId:u-9"));
}

TEST(CoreSetters, WriteNothingWhileLoggingIsOff) {
    vondtest::TempDir cwd;
    vondtest::ScopedCurrentDir inside(cwd.Path());
    VondSdk::ConfigureLogging(false);
    VondProxy::SetLevel(3);
    EXPECT_FALSE(vondtest::FileExists(cwd.Path() + "/vondlog.log"));
}

TEST(CoreBadInput, HugeAndBrokenTextFromTheGameIsHandled) {
    std::wstring huge(4 << 20, L'x');
    std::wstring broken;
    broken += static_cast<wchar_t>(0xD800);
    broken += L"abc";
    broken += static_cast<wchar_t>(0xDFFF);
    VondProxy::SetNickName(huge);
    VondProxy::SetNickName(broken);
    VondProxy::SetServerId(std::wstring(1, L'\0'));
    VondProxy::PostEvent(huge, broken, 1.5);
    VondProxy::CallPay(huge, broken, &Recorder::Callback);
    VondProxy::UpdateSDKEvent();
    SUCCEED();
}

// What the game's log callback receives: marked values and the values of secret fields keep
// only their first four characters, wherever they stand in the line.
TEST(CoreLogTarget, SecretsReachTheGameMasked) {
    VondSdk::KeepOutOfLogTarget("exchange-code-123456");
    VondSdk::KeepOutOfLogTarget("abc");  // too short to mark: left alone
    struct Case {
        const char* line;
        const char* masked;
    };
    const Case cases[] = {
        {"login with exchange-code-123456 done", "login with exch\xE2\x80\xA6 done"},
        {"appId=1&osign=d77d4889f03d07d6&page=1", "appId=1&osign=d77d\xE2\x80\xA6&page=1"},
        {"accessToken=eyJhbGciOi.x.y&token=tok-98765", "accessToken=eyJh\xE2\x80\xA6&token=tok-\xE2\x80\xA6"},
        {R"({"code":200,"token":"backend-token-1","userId":3})", "{\"code\":200,\"token\":\"back\xE2\x80\xA6\",\"userId\":3}"},
        {"-AUTH_PASSWORD=exchange-code-123456 -epicsandboxid=s", "-AUTH_PASSWORD=exch\xE2\x80\xA6 -epicsandboxid=s"},
        {"osign=abc&level=3 abc", "osign=abc&level=3 abc"},
    };
    for (const Case& c : cases) EXPECT_EQ(VondSdk::MaskSecrets(c.line), c.masked) << c.line;
}
