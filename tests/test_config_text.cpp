#include <gtest/gtest.h>

#include <limits>

#include "battery/ConfigText.h"

namespace {

TEST(ConfigText, IntegersReadLikeTheControllersAtoi) {
    struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"12", 12},
        {"  -7", -7},
        {"+5", 5},
        {"12.7", 12},
        {"0x10", 0},
        {"true", 0},
        {"", 0},
        {"2abc", 2},
        {"abc", 0},
        // long is 32 bits on the controller: saturate, never wrap
        {"4294967296", std::numeric_limits<int32_t>::max()},
        {"4294967295", std::numeric_limits<int32_t>::max()},
        {"2147483648", std::numeric_limits<int32_t>::max()},
        {"-2147483649", std::numeric_limits<int32_t>::min()},
        {"99999999999999999999999", std::numeric_limits<int32_t>::max()},
    };
    for (const auto& c : cases) EXPECT_EQ(config::TextToInt(c.text), c.value) << c.text;
}

TEST(ConfigText, ValuesAreReadThroughTheirText) {
    EXPECT_EQ(config::Int(Json::Value(2)), 2);
    EXPECT_EQ(config::Int(Json::Value("2")), 2);
    EXPECT_EQ(config::Int(Json::Value(true)), 0);
    EXPECT_EQ(config::RealAsInt(Json::Value(6.9)), 6);
    EXPECT_EQ(config::RealAsInt(Json::Value("6.9")), 6);
    EXPECT_EQ(config::RealAsInt(Json::Value(-6.9)), -6);
    EXPECT_EQ(config::RealAsInt(Json::Value(1e20)), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(config::RealAsInt(Json::Value("nan")), 0);
    EXPECT_FLOAT_EQ(config::RealAsFloat(Json::Value("0.3")), 0.3f);
    EXPECT_FLOAT_EQ(config::RealAsFloat(Json::Value("-0.05")), -0.05f);
    EXPECT_EQ(config::UnsignedLong(Json::Value(-1)), 4294967295u);
    EXPECT_EQ(config::UnsignedLong(Json::Value("1203")), 1203u);
    // An identifier past 32 bits gives what the controller's atol gives.
    EXPECT_EQ(config::UnsignedLong(Json::Value("4294967296")), 2147483647u);
    EXPECT_THROW(config::Int(Json::Value(Json::objectValue)), Json::LogicError);
}

}  // namespace
