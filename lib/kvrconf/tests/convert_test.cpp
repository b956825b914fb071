/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Whole-text number and hexadecimal conversions.
#include <kvrconf/kvrconf.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

namespace
{

// Runs a conversion and returns the error message it set, empty on success.
template <typename F> std::string error_of(F &&convert)
{
    g_autoptr(GError) error = nullptr;
    convert(&error);
    if (!error)
        return {};
    EXPECT_EQ(error->domain, G_CONVERT_ERROR);
    EXPECT_EQ(error->code, G_CONVERT_ERROR_FAILED);
    return error->message;
}

} // namespace

TEST(KvrConvertInteger, AcceptsTheThreeBasesWithTheirPrefixes)
{
    EXPECT_EQ(kvrConvertStrToUint("ff", 16, nullptr), 255u);
    EXPECT_EQ(kvrConvertStrToUint("0x1F", 16, nullptr), 31u);
    EXPECT_EQ(kvrConvertStrToUint("017", 8, nullptr), 15u);
    EXPECT_EQ(kvrConvertStrToInt(" 42", 10, nullptr), 42);
    EXPECT_EQ(kvrConvertStrToInt("-12", 10, nullptr), -12);
    EXPECT_EQ(kvrConvertStrToInt64("-9000000000", 10, nullptr), G_GINT64_CONSTANT(-9000000000));
}

TEST(KvrConvertInteger, RefusesOtherBasesWithoutParsing)
{
    guint32 value = 1;
    std::string message = error_of([&](GError **e) { value = kvrConvertStrToUint("12", 2, e); });
    EXPECT_EQ(message, "Invalid base 2, ony support 10 or 16");
    EXPECT_EQ(value, 0u);
    // The base is refused even when the text would not parse at all.
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToInt64("zz", 36, e); }),
              "Invalid base 36, ony support 10 or 16");
}

TEST(KvrConvertInteger, RequiresTheWholeTextToBeANumber)
{
    gint32 value = 7;
    EXPECT_EQ(error_of([&](GError **e) { value = kvrConvertStrToInt("42 ", 10, e); }),
              "Unable to convert '42 ' into an integer with base 10");
    EXPECT_EQ(value, 0);
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToInt("", 10, e); }),
              "Unable to convert '' into an integer with base 10");
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToUint("12a", 10, e); }),
              "Unable to convert '12a' into an unsigned int with base 10");
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToUint64("-", 10, e); }),
              "Unable to convert '-' into an unsigned long integer with base 10");
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToInt64("08", 8, e); }),
              "Unable to convert '08' into a long integer with base 8");
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToInt(nullptr, 10, e); }),
              "Unable to convert '' into an integer with base 10");
}

TEST(KvrConvertInteger, ThirtyTwoBitMembersKeepTheLowBits)
{
    EXPECT_EQ(kvrConvertStrToInt("4294967295", 10, nullptr), -1);
    EXPECT_EQ(kvrConvertStrToUint("4294967296", 10, nullptr), 0u);
    EXPECT_EQ(kvrConvertStrToUint("-1", 10, nullptr), 4294967295u);
}

TEST(KvrConvertInteger, UnsignedSixtyFourBitCoversTheWholeRange)
{
    EXPECT_EQ(kvrConvertStrToUint64("-1", 10, nullptr), G_MAXUINT64);
    EXPECT_EQ(kvrConvertStrToUint64("18446744073709551615", 10, nullptr), G_MAXUINT64);
    EXPECT_EQ(kvrConvertStrToUint64("9223372036854775808", 10, nullptr),
              G_GUINT64_CONSTANT(9223372036854775808));
    EXPECT_EQ(kvrConvertStrToUint64("0xFFFFFFFFFFFFFFFE", 16, nullptr), G_MAXUINT64 - 1);
    // Past the range the parser saturates, as the signed members do.
    EXPECT_EQ(kvrConvertStrToUint64("99999999999999999999", 10, nullptr), G_MAXUINT64);
    EXPECT_EQ(kvrConvertStrToInt64("99999999999999999999", 10, nullptr), G_MAXINT64);
}

TEST(KvrConvertDouble, ParsesWithADotWhateverTheLocale)
{
    const char *previous = setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    // A comma-decimal locale is present on most machines; the check holds either way.
    setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_DOUBLE_EQ(kvrConvertStrToDouble("1.5", nullptr), 1.5);
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToDouble("1,5", e); }),
              "Unable to convert '1,5' into a double");
    setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(error_of([](GError **e) { kvrConvertStrToDouble("", e); }),
              "Unable to convert '' into a double");
}

class KvrConvertHex : public ::testing::Test
{
  protected:
    guint8 data[8];
    guint32 size = 99;
    void SetUp() override { memset(data, 0xAA, sizeof data); }
    bool untouched_from(size_t first) const
    {
        for (size_t i = first; i < sizeof data; i++)
            if (data[i] != 0xAA)
                return false;
        return true;
    }
    bool zeroed() const
    {
        for (guint8 b : data)
            if (b != 0)
                return false;
        return true;
    }
};

TEST_F(KvrConvertHex, DecodesPairsHighNibbleFirst)
{
    ASSERT_TRUE(kvrConvertStrToHex(data, "00ff10", sizeof data, &size, nullptr));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(data[1], 0xFF);
    EXPECT_EQ(data[2], 0x10);
    EXPECT_TRUE(untouched_from(3));
    ASSERT_TRUE(kvrConvertStrToHex(data, "aBcD", sizeof data, &size, nullptr));
    EXPECT_EQ(data[0], 0xAB);
    EXPECT_EQ(data[1], 0xCD);
}

TEST_F(KvrConvertHex, StopsQuietlyAtTheCapacity)
{
    ASSERT_TRUE(kvrConvertStrToHex(data, "00ff10", 2, &size, nullptr));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(data[1], 0xFF);
    EXPECT_TRUE(untouched_from(2));
}

TEST_F(KvrConvertHex, DashIsAnEmptyPayloadAndZeroesTheOutput)
{
    ASSERT_TRUE(kvrConvertStrToHex(data, "-", sizeof data, &size, nullptr));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(zeroed());
}

TEST_F(KvrConvertHex, EmptyTextLeavesTheOutputAlone)
{
    ASSERT_TRUE(kvrConvertStrToHex(data, "", sizeof data, &size, nullptr));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(untouched_from(0));
}

TEST_F(KvrConvertHex, BadDigitsNameTheirPositionAndNibble)
{
    std::string message = error_of(
        [&](GError **e) { EXPECT_FALSE(kvrConvertStrToHex(data, "0g", sizeof data, &size, e)); });
    EXPECT_EQ(message, "Cannot parse 'g' as hexa (pos=1, byte=0-lo)");
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(zeroed());

    memset(data, 0xAA, sizeof data);
    message = error_of([&](GError **e) {
        EXPECT_FALSE(kvrConvertStrToHex(data, "0102z3", sizeof data, &size, e));
    });
    EXPECT_EQ(message, "Cannot parse 'z' as hexa (pos=4, byte=2-hi)");
    EXPECT_TRUE(zeroed());
}

TEST_F(KvrConvertHex, OddLengthIsRefused)
{
    std::string message = error_of(
        [&](GError **e) { EXPECT_FALSE(kvrConvertStrToHex(data, "abc", sizeof data, &size, e)); });
    EXPECT_EQ(message, "wrong data len, a char is missing in hexa");
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(zeroed());
}
