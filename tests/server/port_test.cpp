// How the port string becomes a port.
#include <gtest/gtest.h>

#include "server/port.h"

namespace {

TEST(Port, NumbersInRangeAreTakenOthersGiveTheDefault) {
    EXPECT_EQ(PortFromString("80"), 1024);
    EXPECT_EQ(PortFromString("1023"), 1024);
    EXPECT_EQ(PortFromString("1024"), 1024);
    EXPECT_EQ(PortFromString("1025"), 1025);
    EXPECT_EQ(PortFromString("65535"), 65535);
    EXPECT_EQ(PortFromString("65536"), 1024);
    EXPECT_EQ(PortFromString("99999999999"), 1024);
    EXPECT_EQ(PortFromString("-5000"), 1024);
    EXPECT_EQ(PortFromString("abc"), 1024);
    EXPECT_EQ(PortFromString(""), 1024);
}

TEST(Port, ReadLikeAtoi) {
    EXPECT_EQ(PortFromString("5000abc"), 5000);
    EXPECT_EQ(PortFromString("  4321"), 4321);
    EXPECT_EQ(PortFromString("+2048"), 2048);
    EXPECT_EQ(PortFromString("20 48"), 1024);  // 20
    EXPECT_EQ(PortFromString("0x2000"), 1024);  // 0
}

TEST(Port, OnlyASingleArgumentCounts) {
    const char* none[] = {"orvane"};
    const char* one[] = {"orvane", "5000abc"};
    const char* two[] = {"orvane", "5000", "6000"};
    std::string port = "unchanged";
    EXPECT_FALSE(PortStringFromArguments(1, none, &port));
    EXPECT_FALSE(PortStringFromArguments(3, two, &port));
    EXPECT_EQ(port, "unchanged");
    EXPECT_TRUE(PortStringFromArguments(2, one, &port));
    EXPECT_EQ(port, "5000abc");
}

TEST(Port, ATypedLineCountsWithItsFirstEightCharacters) {
    EXPECT_EQ(PortStringFromLine(""), "");
    EXPECT_EQ(PortStringFromLine("2000"), "2000");
    EXPECT_EQ(PortStringFromLine("   123456"), "   12345");
    EXPECT_EQ(PortFromString(PortStringFromLine("0000000065000")), 1024);  // "00000000"
    EXPECT_EQ(PortFromString(PortStringFromLine("00065000")), 65000);
}

}  // namespace
