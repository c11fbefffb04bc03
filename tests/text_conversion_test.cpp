#include <gtest/gtest.h>

#include <string>

#include "utils/VondUtils.h"

using VondSdk::ToUtf8;
using VondSdk::ToWide;

namespace {

std::wstring Wide(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned u : units) text += static_cast<wchar_t>(u);
    return text;
}

}  // namespace

TEST(TextConversion, GameTextReachesTheSdkAsUtf8) {
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToUtf8(L"appId-123"), "appId-123");
    // 勇者 (a typical Chinese nickname) and a character outside the basic plane.
    EXPECT_EQ(ToUtf8(Wide({0x52C7, 0x8005})), "\xE5\x8B\x87\xE8\x80\x85");
#ifdef _WIN32
    EXPECT_EQ(ToUtf8(Wide({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
#else
    EXPECT_EQ(ToUtf8(Wide({0x1F600})), "\xF0\x9F\x98\x80");
    // The same text handed over as UTF-16 units gives the same bytes as on Windows.
    EXPECT_EQ(ToUtf8(Wide({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
#endif
}

TEST(TextConversion, EmbeddedNulCutsAndBrokenUnitsBecomeReplacementCharacters) {
    EXPECT_EQ(ToUtf8(Wide({'a', 'b', 0, 'c'})), "ab");
    EXPECT_EQ(ToUtf8(Wide({0, 'x'})), "");
    // Unpaired high and low surrogates, alone and between letters.
    EXPECT_EQ(ToUtf8(Wide({0xD800})), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(Wide({'a', 0xDC00, 'b'})), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(ToUtf8(Wide({0xD800, 'x'})), "\xEF\xBF\xBD" "x");
    EXPECT_EQ(ToUtf8(Wide({0xDC00, 0xD800})), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConversion, BackendTextReachesTheGameAsWideText) {
    EXPECT_EQ(ToWide("ok"), L"ok");
    EXPECT_EQ(ToWide("\xE5\x8B\x87\xE8\x80\x85"), Wide({0x52C7, 0x8005}));
    EXPECT_EQ(ToWide(std::string("ab\0cd", 5)), L"ab");
    // Invalid UTF-8 from the network never throws: truncated, overlong, stray continuation.
    EXPECT_EQ(ToWide("a\xE5\x8B"), Wide({'a', 0xFFFD}));
    EXPECT_EQ(ToWide("\xC0\xAF"), Wide({0xFFFD, 0xFFFD}));
    EXPECT_EQ(ToWide("\x80x"), Wide({0xFFFD, 'x'}));
    // An encoded surrogate is invalid; systems differ in how many replacement characters
    // they give for it, but never anything else, and the next character survives.
    const std::wstring surrogate = ToWide("\xED\xA0\x80z");
    ASSERT_GE(surrogate.size(), 2u);
    EXPECT_EQ(surrogate.back(), L'z');
    for (size_t i = 0; i + 1 < surrogate.size(); ++i) EXPECT_EQ(surrogate[i], static_cast<wchar_t>(0xFFFD));
}

TEST(TextConversion, LargeTextRoundTrips) {
    std::wstring big(1 << 20, static_cast<wchar_t>(0x4E2D));
    const std::string utf8 = ToUtf8(big);
    EXPECT_EQ(utf8.size(), big.size() * 3);
    EXPECT_EQ(ToWide(utf8), big);
}
