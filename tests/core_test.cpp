#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "VondProxy.h"
#include "support/TestEnv.h"
#include "utils/VondLogging.h"

using vondtest::Recorder;

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

TEST(CoreChecks, ExitBeforeInitReturns) {
    VondProxy::Exit();
    VondProxy::Exit();
    SUCCEED();
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
    EXPECT_NE(log.find("[INFO]: Set Game User Info, SetLevel:0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Set Game User Info, SetNickName:\xE5\x8B\x87\xE8\x80\x85&=+%\n"), std::string::npos);
    EXPECT_NE(log.find("Set Game User Info, SetServerId:s1\n"), std::string::npos);
    EXPECT_NE(log.find("Set Game User Info, SetGameUserId:u-9\n"), std::string::npos);
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
