// The checks behind reading the fields, and the texts they produce.
#include "client/field_checks.h"

#include <gtest/gtest.h>

#include "client/strings.h"

using namespace tessik;

TEST(FieldChecks, IntegersAreWholeDecimalNumbersWithin32Bits) {
    int v = -1;
    EXPECT_TRUE(ParseInteger("1024", &v));
    EXPECT_EQ(v, 1024);
    EXPECT_TRUE(ParseInteger("  +2000\t ", &v));
    EXPECT_EQ(v, 2000);
    EXPECT_TRUE(ParseInteger("-7", &v));
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(ParseInteger("-2147483648", &v));
    EXPECT_EQ(v, -2147483647 - 1);
    v = 5;
    for (const char* bad : {"", " ", "abc", "12ab", "1 2", "+", "0x10", "2147483648", "99999999999999999999"}) {
        EXPECT_FALSE(ParseInteger(bad, &v)) << bad;
        EXPECT_EQ(v, 5) << bad;
    }
}

TEST(FieldChecks, PortRangeAndMessages) {
    int port = 0;
    EXPECT_EQ(CheckIntegerField("80", kPortMin, kPortMax, &port), FieldCheck::kOutOfRange);
    EXPECT_EQ(CheckIntegerField("65536", kPortMin, kPortMax, &port), FieldCheck::kOutOfRange);
    EXPECT_EQ(CheckIntegerField("port", kPortMin, kPortMax, &port), FieldCheck::kNotInteger);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(CheckIntegerField("65535", kPortMin, kPortMax, &port), FieldCheck::kOk);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(CheckIntegerField("1024", kPortMin, kPortMax, &port), FieldCheck::kOk);
    EXPECT_EQ(port, 1024);

    EXPECT_EQ(FieldCheckMessage(FieldCheck::kOutOfRange, kPortMin, kPortMax),
              "1024 から 65535 までの整数を入力してください。");
    EXPECT_EQ(FieldCheckMessage(FieldCheck::kNotInteger), "整数を入力してください。");
    EXPECT_EQ(FieldCheckMessage(FieldCheck::kTooLong, kNameLimit), "45 文字以内で入力してください。");
    EXPECT_EQ(FieldCheckMessage(FieldCheck::kOk), "");
}

TEST(FieldChecks, NameLimitCountsBytes) {
    EXPECT_EQ(CheckTextField(std::string(45, 'a'), kNameLimit), FieldCheck::kOk);
    EXPECT_EQ(CheckTextField(std::string(46, 'a'), kNameLimit), FieldCheck::kTooLong);
    // Fifteen kana are 45 bytes; sixteen are 48.
    std::string kana;
    for (int i = 0; i < 15; ++i) kana += "あ";
    EXPECT_EQ(CheckTextField(kana, kNameLimit), FieldCheck::kOk);
    EXPECT_EQ(CheckTextField(kana + "あ", kNameLimit), FieldCheck::kTooLong);
}

TEST(FieldChecks, FieldsGoOnTheWireAsOneLine) {
    EXPECT_EQ(FirstLine("hello"), "hello");
    EXPECT_EQ(FirstLine("one\r\nlogout"), "one");
    EXPECT_EQ(FirstLine("a\nb"), "a");
    EXPECT_EQ(FirstLine(std::string_view("x\0y", 3)), "x");
}

TEST(Strings, ResourcesAndSubstitution) {
    EXPECT_EQ(LoadString(101), "Tessik のﾊﾞｰｼﾞｮﾝ情報(&A)...");
    EXPECT_EQ(LoadString(61712), "整数を入力してください。");
    EXPECT_EQ(LoadString(61714), "%1 から %2 までの整数を入力してください。");
    EXPECT_EQ(LoadString(61716), "%1 文字以内で入力してください。");
    EXPECT_EQ(LoadString(999), "");
    EXPECT_EQ(FormatText("%2-%1-%3%", {"a", "b"}), "b-a-%3%");
}
