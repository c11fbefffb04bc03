// The launcher's command line as the SDK reads it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "service/EpicLoginService.h"

using VondSdk::LaunchArgs;

namespace {
std::map<std::wstring, std::wstring> Parse(const std::wstring& line) {
    return LaunchArgs::ParseTable(line);
}
}  // namespace

TEST(LaunchArgs, EpicLauncherLineGivesCodeAndIds) {
    const auto table = Parse(
        L"C:\\Games\\Vond\\game.exe -AUTH_LOGIN=unused -AUTH_PASSWORD=4f1c2a0e9b8d7c6e5f4a3b2c1d0e9f8a "
        L"-AUTH_TYPE=exchangecode -epicapp=vondapp -epicenv=Prod -EpicPortal -epicusername=\"A Name\" "
        L"-epicuserid=0123456789abcdef0123456789abcdef -epicsandboxid=sandbox-1 -epicdeploymentid=deploy-1");
    EXPECT_EQ(table.at(L"AUTH_PASSWORD"), L"4f1c2a0e9b8d7c6e5f4a3b2c1d0e9f8a");
    EXPECT_EQ(table.at(L"AUTH_LOGIN"), L"unused");
    EXPECT_EQ(table.at(L"AUTH_TYPE"), L"exchangecode");
    EXPECT_EQ(table.at(L"epicenv"), L"Prod");
    EXPECT_EQ(table.at(L"EpicPortal"), L"__FLAG__");
    // Quotes count only at the start of a token: a name quoted after "=" is cut at its space,
    // and what follows it still parses.
    EXPECT_EQ(table.at(L"epicusername"), L"\"A");
    EXPECT_EQ(table.at(L"epicuserid"), L"0123456789abcdef0123456789abcdef");
    EXPECT_EQ(table.at(L"epicsandboxid"), L"sandbox-1");
    EXPECT_EQ(table.at(L"epicdeploymentid"), L"deploy-1");
    EXPECT_EQ(table.at(L""), L"C:\\Games\\Vond\\game.exe");
    // Names are case-sensitive.
    EXPECT_EQ(table.count(L"auth_password"), 0u);
}

TEST(LaunchArgs, ValuesFlagsAndPrefixes) {
    // The program path, an option with its value, a bare option.
    auto table = Parse(L"game.exe -AUTH_PASSWORD=code1 -Bare");
    EXPECT_EQ(table.at(L""), L"game.exe");
    EXPECT_EQ(table.at(L"AUTH_PASSWORD"), L"code1");
    EXPECT_EQ(table.at(L"Bare"), L"__FLAG__");

    // A value may follow its option after a space; an option followed by an option has none.
    table = Parse(L"game.exe -AUTH_PASSWORD code2 -epicenv -epicapp=x");
    EXPECT_EQ(table.at(L"AUTH_PASSWORD"), L"code2");
    EXPECT_EQ(table.at(L"epicenv"), L"__FLAG__");
    EXPECT_EQ(table.at(L"epicapp"), L"x");
    table = Parse(L"game.exe -AUTH_PASSWORD -epicapp=x");
    EXPECT_EQ(table.at(L"AUTH_PASSWORD"), L"__FLAG__");

    // Two bare options at the end of the line.
    table = Parse(L"game.exe -one -two");
    EXPECT_EQ(table.at(L"one"), L"__FLAG__");
    EXPECT_EQ(table.at(L"two"), L"__FLAG__");

    // Every prefix character, repeated ones too; a piece made only of them is a value.
    table = Parse(L"game.exe ,comma=1 ;semi=2 \\back=3 --double=4 -- -last");
    EXPECT_EQ(table.at(L"comma"), L"1");
    EXPECT_EQ(table.at(L"semi"), L"2");
    EXPECT_EQ(table.at(L"back"), L"3");
    EXPECT_EQ(table.at(L"double"), L"4");
    EXPECT_EQ(table.at(L"last"), L"__FLAG__");

    // An empty value is a flag; two adjacent spaces give an empty piece.
    table = Parse(L"game.exe -empty= -next  -after");
    EXPECT_EQ(table.at(L"empty"), L"__FLAG__");
    EXPECT_EQ(table.at(L"next"), L"__FLAG__");
    EXPECT_EQ(table.at(L"after"), L"__FLAG__");

    // No space at all: one token, the program.
    table = Parse(L"game.exe");
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table.at(L""), L"game.exe");
}

TEST(LaunchArgs, QuotesAndRepeatedNames) {
    // A quoted value with spaces after a space-separated name is one value, quotes removed.
    auto table = Parse(L"game.exe -epicusername \"Zhang San Feng\" -epicenv=Prod");
    EXPECT_EQ(table.at(L"epicusername"), L"Zhang San Feng");
    EXPECT_EQ(table.at(L"epicenv"), L"Prod");

    // Windows quotes a whole argument that holds a space.
    table = Parse(L"game.exe \"-epicusername=A Name\" -epicenv=Prod");
    EXPECT_EQ(table.at(L"epicusername"), L"A Name");

    // An unclosed quote runs to the end of the line.
    table = Parse(L"game.exe -name \"open ended value");
    EXPECT_EQ(table.at(L"name"), L"open ended value");

    // The first occurrence wins.
    table = Parse(L"game.exe -AUTH_PASSWORD=first -AUTH_PASSWORD=second");
    EXPECT_EQ(table.at(L"AUTH_PASSWORD"), L"first");

    // Across Parse calls as well, and an absent name reads as empty.
    LaunchArgs::Parse(L"game.exe -epicsandboxid=from-first-line");
    LaunchArgs::Parse(L"game.exe -epicsandboxid=from-second-line -epicdeploymentid=d");
    EXPECT_EQ(LaunchArgs::Get(L"epicsandboxid"), L"from-first-line");
    EXPECT_EQ(LaunchArgs::Get(L"epicdeploymentid"), L"d");
    EXPECT_EQ(LaunchArgs::Get(L"missing"), L"");
}
