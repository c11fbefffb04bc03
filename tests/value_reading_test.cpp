// Numbers from the backend or a stored file read as integers, and the development overrides.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "support/TestEnv.h"
#include "utils/VondDevOverrides.h"
#include "utils/VondJson.h"

using VondSdk::IntegerMember;

TEST(IntegerMember, ReadsNumbersOfAnySizeWithoutUndefinedConversions) {
    auto read = [](const char* text) { return IntegerMember(nlohmann::json::parse(text), "v", -7); };
    EXPECT_EQ(read(R"({"v":1})"), 1);
    EXPECT_EQ(read(R"({"v":1.9})"), 1);
    EXPECT_EQ(read(R"({"v":-1.9})"), -1);
    EXPECT_EQ(read(R"({"v":-9223372036854775808})"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(read(R"({"v":9223372036854775807})"), std::numeric_limits<int64_t>::max());
    // Past 64 bits, as an integer or a double: the fallback, never a wrapped or undefined value.
    EXPECT_EQ(read(R"({"v":18446744073709551615})"), -7);
    EXPECT_EQ(read(R"({"v":1e300})"), -7);
    EXPECT_EQ(read(R"({"v":-1e300})"), -7);
    EXPECT_EQ(read(R"({"v":9223372036854775808.0})"), -7);
    EXPECT_EQ(read(R"({"v":-9223372036854775808.0})"), std::numeric_limits<int64_t>::min());
    // Not a number, not there, not an object.
    EXPECT_EQ(read(R"({"v":"1"})"), -7);
    EXPECT_EQ(read(R"({"v":true})"), -7);
    EXPECT_EQ(read(R"({"v":null})"), -7);
    EXPECT_EQ(read(R"({"w":1})"), -7);
    EXPECT_EQ(read(R"([1])"), -7);
}

TEST(DevOverrides, HonouredOnlyWhereTheBuildAllowsThem) {
    // Tests are development builds.
    EXPECT_TRUE(VondSdk::DevOverridesAllowed());
    vondtest::SetEnv("VOND_SDK_ORIGIN", "https://127.0.0.1:1");
    vondtest::SetEnv("VOND_SDK_CA_FILE", "/tmp/ca.pem");
    std::string value = "untouched";
    // A release build reads nothing, whatever the environment says.
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kOriginOverride, false, value));
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kCaFileOverride, false, value));
    EXPECT_EQ(value, "untouched");

    ASSERT_TRUE(VondSdk::ReadDevOverride(VondSdk::kOriginOverride, true, value));
    EXPECT_EQ(value, "https://127.0.0.1:1");
    ASSERT_TRUE(VondSdk::ReadDevOverride(VondSdk::kCaFileOverride, value));
    EXPECT_EQ(value, "/tmp/ca.pem");
    vondtest::SetEnv("VOND_SDK_ORIGIN", "");
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kOriginOverride, true, value));
    vondtest::UnsetEnv("VOND_SDK_ORIGIN");
    EXPECT_FALSE(VondSdk::ReadDevOverride(VondSdk::kOriginOverride, true, value));
}
