/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The three frame text lines: what a line reads into and how a record is
// written back, including the round trips hosts rely on.
#include "test-util.h"

#include <clocale>
#include <cmath>
#include <cstring>

namespace
{

FramePtr parse_uplink(const std::string &line)
{
    kvrframe *frame = nullptr;
    GError *error = nullptr;
    const gboolean ok = kvrproto_fdata_parse(line.c_str(), &frame, &error);
    ErrorPtr owned_error(error);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    EXPECT_EQ(ok, frame != nullptr);
    return FramePtr(frame);
}

FramePtr parse_downlink(const std::string &line)
{
    kvrframe *frame = nullptr;
    GError *error = nullptr;
    const gboolean ok = kvrproto_txdata_parse(line.c_str(), &frame, &error);
    ErrorPtr owned_error(error);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    return FramePtr(frame);
}

std::string print(const kvrframe *frame)
{
    GError *error = nullptr;
    gchar *line = kvrproto_to_string(frame, &error);
    ErrorPtr owned_error(error);
    EXPECT_NE(line, nullptr) << (error ? error->message : "");
    return take_text(line);
}

// Parses @line expecting failure; returns the error.
ErrorPtr uplink_failure(const std::string &line)
{
    kvrframe *frame = reinterpret_cast<kvrframe *>(0x1);
    GError *error = nullptr;
    EXPECT_FALSE(kvrproto_fdata_parse(line.c_str(), &frame, &error));
    EXPECT_EQ(frame, nullptr);
    return ErrorPtr(error);
}

ErrorPtr downlink_failure(const std::string &line)
{
    kvrframe *frame = reinterpret_cast<kvrframe *>(0x1);
    GError *error = nullptr;
    EXPECT_FALSE(kvrproto_txdata_parse(line.c_str(), &frame, &error));
    EXPECT_EQ(frame, nullptr);
    return ErrorPtr(error);
}

const std::string kUplinkV1 = "FDATA_V1 1 14 0 0102030405060708 1234 -150 12.5 -120.25";

} // namespace

TEST(UplinkLine, CurrentVersionReadsEveryField)
{
    FramePtr frame = parse_uplink(kUplinkV1);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->v, KVRPROTO_VERSION_V1);
    const kvrframe_v1 &v1 = frame->f.v1;
    EXPECT_EQ(v1.seq, 1);
    EXPECT_EQ(v1.frame_length, 14);
    EXPECT_EQ(v1.oob, 0);
    ASSERT_EQ(v1.data_s, 8);
    const guint8 expected[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(v1.data, expected, sizeof(expected)), 0);
    EXPECT_EQ(v1.timestamp, 1234);
    EXPECT_FLOAT_EQ(v1.freq, -150.0f);
    EXPECT_FLOAT_EQ(v1.snr, 12.5f);
    EXPECT_FLOAT_EQ(v1.rssi, -120.25f);
    EXPECT_EQ(print(frame.get()), "FDATA_V1 1 14 0 0102030405060708 1234 -150 12.50 -120.25");
}

TEST(UplinkLine, CurrentVersionRoundTripsWithUpperCaseData)
{
    const std::string line = "FDATA_V1 255 22 1 C5677856341200FFAB10AA0B0C0D0E0F 4294967296 "
                             "-24999 -3.75 -130.50";
    FramePtr frame = parse_uplink("FDATA_V1 255 22 1 c5677856341200ffab10aa0b0c0d0e0f "
                                  "4294967296 -24999 -3.75 -130.5");
    ASSERT_TRUE(frame);
    EXPECT_EQ(print(frame.get()), line);
    FramePtr again = parse_uplink(line);
    ASSERT_TRUE(again);
    EXPECT_EQ(print(again.get()), line);
}

TEST(UplinkLine, WrapperFormWithIntegerMeasurementsIsAccepted)
{
    // The wrapper writes the frequency as an integer and pads the SNR.
    FramePtr frame = parse_uplink("FDATA_V1 2 15 0 0567785634120A1122 77 -4200 9.00 -98.70");
    ASSERT_TRUE(frame);
    EXPECT_FLOAT_EQ(frame->f.v1.freq, -4200.0f);
    EXPECT_FLOAT_EQ(frame->f.v1.rssi, -98.7f);
    EXPECT_EQ(frame->f.v1.data_s, 9);
}

TEST(UplinkLine, FirstVersionRoundTrips)
{
    const std::string line = "FDATA 0 0a 3f1 a1b2c3 1 99 12 3.50 -110.00";
    FramePtr frame = parse_uplink("FDATA 0 0A 3F1 A1B2C3 7 99 12 3.5 -110");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->v, KVRPROTO_VERSION_V0);
    EXPECT_EQ(frame->f.v0.ph, 0x0a);
    EXPECT_EQ(frame->f.v0.tid, 0x3f1);
    EXPECT_EQ(frame->f.v0.data_s, 3);
    EXPECT_EQ(frame->f.v0.data[2], 0xc3);
    EXPECT_EQ(print(frame.get()), line);
}

TEST(UplinkLine, FirstVersionKeepsLow16BitsOfTransmitterId)
{
    FramePtr frame = parse_uplink("FDATA 0 00 12345678 - 1 0 0 0 0");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v0.tid, 0x5678);
    EXPECT_EQ(kvrproto_get_tstid(frame.get(), nullptr), 0x5678u);
    // Leading zeros do not count against the 32-bit range.
    frame = parse_uplink("FDATA 0 00 0x000000000000ABCD - 1 0 0 0 0");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v0.tid, 0xABCD);
}

TEST(UplinkLine, EmptyDataIsDash)
{
    FramePtr frame = parse_uplink("FDATA_V1 0 0 0 - 0 0 0 0");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v1.data_s, 0);
    EXPECT_EQ(print(frame.get()), "FDATA_V1 0 0 0 - 0 0 0.00 0.00");
}

TEST(UplinkLine, DataBeyondTwentyBytesIsIgnored)
{
    std::string digits;
    for (int i = 0; i < 27; ++i)
        digits += "ab";
    FramePtr frame = parse_uplink("FDATA_V1 0 0 0 " + digits + " 0 0 0 0");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v1.data_s, 20);
    EXPECT_EQ(frame->f.v1.data[19], 0xab);
}

TEST(UplinkLine, AnyWhiteSpaceSeparatesFields)
{
    FramePtr frame = parse_uplink("FDATA_V1 \t1  14\r\n0\v0102\f5 6 7 8\n");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v1.frame_length, 14);
    EXPECT_FLOAT_EQ(frame->f.v1.rssi, 8.0f);
}

TEST(UplinkLine, FieldsAfterTheLastAreIgnored)
{
    // As with a scanf reader, what follows the last field (a log suffix, a
    // line terminator) does not belong to the frame.
    FramePtr frame = parse_uplink(kUplinkV1 + " rx=3 # note\r\n");
    ASSERT_TRUE(frame);
    EXPECT_EQ(print(frame.get()), "FDATA_V1 1 14 0 0102030405060708 1234 -150 12.50 -120.25");
}

TEST(UplinkLine, TimestampIsUnsigned64BitDecimal)
{
    FramePtr frame = parse_uplink("FDATA_V1 0 0 0 - 18446744073709551615 0 0 0");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v1.timestamp, -1);
    EXPECT_EQ(print(frame.get()), "FDATA_V1 0 0 0 - 18446744073709551615 0 0.00 0.00");
    // A signed producer writes the same pattern with a minus sign.
    FramePtr negative = parse_uplink("FDATA_V1 0 0 0 - -2 0 0 0");
    ASSERT_TRUE(negative);
    EXPECT_EQ(print(negative.get()), "FDATA_V1 0 0 0 - 18446744073709551614 0 0.00 0.00");
}

TEST(UplinkLine, MeasurementsPrintAsPrintfDoes)
{
    // printf in the "C" locale is the reference for every rounding case,
    // including ties, negative zero, large values and non-numbers.
    const gfloat values[] = {2.5f,   0.125f, -0.004f, 1.005f, -150.5f,  3.4e38f,   -1e-30f,
                             9.995f, 0.0f,   -0.0f,   1e10f,  INFINITY, -INFINITY, NAN};
    for (gfloat value : values) {
        kvrframe frame = {};
        frame.v = KVRPROTO_VERSION_V1;
        frame.f.v1.freq = value;
        frame.f.v1.snr = value;
        frame.f.v1.rssi = value;
        gchar *expected =
            g_strdup_printf("FDATA_V1 0 0 0 - 0 %.0f %4.2f %.2f", value, value, value);
        EXPECT_EQ(print(&frame), take_text(expected)) << "value " << value;
    }
}

TEST(DownlinkLine, RoundTripsEveryField)
{
    const std::string line = "TXDATA_V1 1700000000123456 3 12.25 16777216 14.50 1 4011 "
                             "DEADBEEF 79CE 112233";
    FramePtr frame = parse_downlink("TXDATA_V1 1700000000123456 3 12.25 16777216 14.5 3 4011 "
                                    "deadbeef 79ce 112233");
    ASSERT_TRUE(frame);
    const kvrframe_v1_dlk &dlk = frame->f.v1dlk;
    EXPECT_EQ(frame->v, KVRPROTO_VERSION_V1_DLK);
    EXPECT_EQ(dlk.timestamp, 1700000000123456);
    EXPECT_EQ(dlk.mode, 3u);
    EXPECT_FLOAT_EQ(dlk.slot, 12.25f);
    EXPECT_FLOAT_EQ(dlk.power, 14.5f);
    EXPECT_EQ(dlk.ext, 1) << "only bit 0 of the extension flag is kept";
    EXPECT_EQ(dlk.seq, 4011);
    EXPECT_EQ(dlk.tid, 0xdeadbeefu);
    EXPECT_EQ(dlk.hmac[0], 0x79);
    EXPECT_EQ(dlk.hmac[1], 0xce);
    EXPECT_EQ(dlk.data_s, 3);
    EXPECT_EQ(print(frame.get()), line);
}

TEST(DownlinkLine, EmptyDataAndSmallTransmitterId)
{
    const std::string line = "TXDATA_V1 0 0 0.00 0 -2.00 0 0 A 0000 -";
    FramePtr frame = parse_downlink(line);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->f.v1dlk.data_s, 0);
    EXPECT_EQ(print(frame.get()), line);
}

TEST(LineErrors, OddDataDigitsReportTheDataField)
{
    const std::string line = "FDATA_V1 1 14 0 010 1234 -150 12.5 -120.25";
    ErrorPtr error = uplink_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1 data field, invalid format: " + line +
                                 " (wrong data len, a char is missing in hexa)"));
}

TEST(LineErrors, NonHexDataReportsTheConversion)
{
    const std::string line = "FDATA 0 01 2 0g 1 0 0 0 0";
    ErrorPtr error = uplink_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA data field, invalid format: " + line +
                                 " (Cannot parse 'g' as hexa (pos=1, byte=0-lo))"));
}

TEST(LineErrors, MissingFieldsAreCounted)
{
    const std::string line = "FDATA_V1 1 14 0 0102 1234 -150 12.5";
    ErrorPtr error = uplink_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1, invalid format (7!=8): " + line));
}

TEST(LineErrors, FirstVersionNeedsLiteralZero)
{
    const std::string line = "FDATA 1 0a 3f1 a1 1 99 12 3.5 -110";
    ErrorPtr error = uplink_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA, invalid format (0!=8): " + line));
}

TEST(LineErrors, ConversionStopsAtFirstBadField)
{
    const std::string line = "FDATA_V1 1 14 x 0102 1234 -150 12.5 -120.25";
    ErrorPtr error = uplink_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1, invalid format (2!=8): " + line));
}

TEST(LineErrors, UnknownHeaders)
{
    for (const std::string line : {"FDATA_V2 1 14 0 - 1 2 3 4", "fdata_v1 1 14 0 - 1 2 3 4",
                                   " FDATA_V1 1 14 0 - 1 2 3 4", "FDATA_V1", ""}) {
        ErrorPtr error = uplink_failure(line);
        EXPECT_TRUE(
            IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT, "unknown FDATA header: " + line));
    }
    ErrorPtr error = downlink_failure("FDATA_V1 1 14 0 - 1 2 3 4");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "unknown TXDATA header: FDATA_V1 1 14 0 - 1 2 3 4"));
}

TEST(LineErrors, DownlinkCodeField)
{
    const std::string three = "TXDATA_V1 0 0 0 0 0 0 0 A 79C 11";
    ErrorPtr error = downlink_failure(three);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA hmac field, invalid format: " + three +
                                 " (wrong data len, a char is missing in hexa)"));
    error = downlink_failure("TXDATA_V1 0 0 0 0 0 0 0 A - 11");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT, "invalid hmac length (0)"));
    error = downlink_failure("TXDATA_V1 0 0 0 0 0 0 0 A 79 11");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT, "invalid hmac length (1)"));
}

TEST(LineErrors, DownlinkFieldCountAndData)
{
    const std::string short_line = "TXDATA_V1 0 0 0 0 0 0 0 A 79CE";
    ErrorPtr error = downlink_failure(short_line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse TXDATA_V1, invalid format (9!=10): " + short_line));
    const std::string odd = "TXDATA_V1 0 0 0 0 0 0 0 A 79CE 123";
    error = downlink_failure(odd);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA data field, invalid format: " + odd +
                                 " (wrong data len, a char is missing in hexa)"));
}

TEST(PrinterErrors, UnknownVersionsAreRefused)
{
    kvrframe frame = {};
    frame.v = 3;
    GError *error = nullptr;
    EXPECT_EQ(kvrproto_fdata_to_string(&frame, &error), nullptr);
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_UNKNOWN_VERSION, "unsupported protocol version 3"));

    error = nullptr;
    EXPECT_EQ(kvrproto_txdata_to_string(&frame, &error), nullptr);
    owned.reset(error);
    EXPECT_TRUE(IsProtoError(error, KVRPROTO_ERR_BADFORMAT, "not a downlink frame 0x3"));

    frame.v = 0x43;
    error = nullptr;
    EXPECT_EQ(kvrproto_to_string(&frame, &error), nullptr);
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_UNKNOWN_VERSION, "unsupported protocol version 0x43"));
}

TEST(PrinterErrors, DataCountBeyondTheFieldIsRefused)
{
    // A record filled by hand must not make the printer read past its data.
    kvrframe frame = {};
    frame.v = KVRPROTO_VERSION_V1;
    frame.f.v1.data_s = 21;
    GError *error = nullptr;
    EXPECT_EQ(kvrproto_to_string(&frame, &error), nullptr);
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 21"));

    frame = {};
    frame.v = KVRPROTO_VERSION_V0;
    frame.f.v0.data_s = 13;
    EXPECT_EQ(kvrproto_to_string(&frame, nullptr), nullptr);
    frame = {};
    frame.v = KVRPROTO_VERSION_V1_DLK;
    frame.f.v1dlk.data_s = 9;
    EXPECT_EQ(kvrproto_to_string(&frame, nullptr), nullptr);
}

TEST(TransmitterId, ByLayout)
{
    kvrframe frame = {};
    frame.v = KVRPROTO_VERSION_V1;
    const guint8 header[] = {0x05, 0x67, 0x78, 0x56, 0x34, 0x12};
    memcpy(frame.f.v1.data, header, sizeof(header));
    EXPECT_EQ(kvrproto_get_tstid(&frame, nullptr), 0x12345678u);
    EXPECT_EQ(frame.f.v1.p.seq_hi, 5u) << "the layout view matches the data bytes";
    EXPECT_EQ(frame.f.v1.p.seq_lo, 0x67);

    frame.v = KVRPROTO_VERSION_V1_DLK;
    GError *error = nullptr;
    EXPECT_EQ(kvrproto_get_tstid(&frame, &error), 0u);
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_UNKNOWN_VERSION, "unsupported protocol version 0x42"));
}

TEST(RecordLayout, BitFieldsOfTheFrameHeader)
{
    kvrframe frame = {};
    frame.f.v1.data[0] = 0x80 | 0x20 | 0x0A; // lg 2, ack 1, res 0, seq_hi 0xA
    EXPECT_EQ(frame.f.v1.p.lg, 2u);
    EXPECT_EQ(frame.f.v1.p.ack, 1u);
    EXPECT_EQ(frame.f.v1.p.res, 0u);
    EXPECT_EQ(frame.f.v1.p.seq_hi, 0xAu);
}

extern "C" int kvrproto_c_layout(size_t *offsets, size_t count);

TEST(RecordLayout, CAndCxxAgree)
{
    const size_t expected[] = {
        sizeof(kvrframe),
        offsetof(kvrframe, v),
        offsetof(kvrframe, combined),
        offsetof(kvrframe_v0, ph),
        offsetof(kvrframe_v0, timestamp),
        offsetof(kvrframe_v1, data),
        offsetof(kvrframe_v1, bit_rate),
        offsetof(kvrframe_v1, timestamp),
        offsetof(kvrframe_v1_dlk, hmac),
        offsetof(kvrframe_v1_dlk, timestamp),
        sizeof(kvrframe_v1_layout),
    };
    size_t offsets[G_N_ELEMENTS(expected)] = {};
    ASSERT_EQ(kvrproto_c_layout(offsets, G_N_ELEMENTS(offsets)), 0);
    for (size_t i = 0; i < G_N_ELEMENTS(expected); ++i)
        EXPECT_EQ(offsets[i], expected[i]) << "entry " << i;
    EXPECT_EQ(sizeof(kvrframe), 56u);
    EXPECT_EQ(offsetof(kvrframe, v), 48u);
    EXPECT_EQ(offsetof(kvrframe, combined), 49u);
}

TEST(LineLocale, NumbersIgnoreTheProcessLocale)
{
    // A host running with a decimal comma still exchanges lines with points.
    if (!setlocale(LC_ALL, "fr_FR.UTF-8") && !setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma is available";
    FramePtr frame = parse_uplink(kUplinkV1);
    const std::string printed = frame ? print(frame.get()) : "";
    setlocale(LC_ALL, "C");
    ASSERT_TRUE(frame);
    EXPECT_FLOAT_EQ(frame->f.v1.rssi, -120.25f);
    EXPECT_EQ(printed, "FDATA_V1 1 14 0 0102030405060708 1234 -150 12.50 -120.25");
}
