/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Lines from logs, files and other programs are not trusted: every
// malformed line is refused with the format error, without reading or
// writing outside the record or the line.
#include "test-util.h"

#include <cmath>
#include <string>

namespace
{

ErrorPtr parse_failure(const std::string &line)
{
    kvrframe *frame = nullptr;
    GError *error = nullptr;
    const gboolean ok = line.rfind("TXDATA", 0) == 0
                            ? kvrproto_txdata_parse(line.c_str(), &frame, &error)
                            : kvrproto_fdata_parse(line.c_str(), &frame, &error);
    FramePtr owned(frame);
    EXPECT_FALSE(ok) << line;
    EXPECT_EQ(frame, nullptr);
    return ErrorPtr(error);
}

bool parses(const std::string &line)
{
    kvrframe *frame = nullptr;
    const gboolean ok = line.rfind("TXDATA", 0) == 0
                            ? kvrproto_txdata_parse(line.c_str(), &frame, nullptr)
                            : kvrproto_fdata_parse(line.c_str(), &frame, nullptr);
    FramePtr owned(frame);
    return ok;
}

std::string hex_digits(size_t count)
{
    std::string digits;
    for (size_t i = 0; i < count; ++i)
        digits += "0123456789abcdef"[i % 16];
    return digits;
}

} // namespace

TEST(HostileTokens, UplinkDataFieldLongerThan55Characters)
{
    EXPECT_TRUE(parses("FDATA_V1 1 2 0 " + hex_digits(54) + " 1 2 3 4"));
    const std::string line = "FDATA_V1 1 2 0 " + hex_digits(56) + " 1 2 3 4";
    ErrorPtr error = parse_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1 data field, invalid format: " + line +
                                 " (data field longer than 55 characters)"));
    const std::string v0 = "FDATA 0 01 2 " + hex_digits(4096) + " 1 2 3 4 5";
    error = parse_failure(v0);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA data field, invalid format: " + v0 +
                                 " (data field longer than 55 characters)"));
}

TEST(HostileTokens, DownlinkDataLongerThan31AndCodeLongerThan4)
{
    EXPECT_TRUE(parses("TXDATA_V1 0 0 0 0 0 0 0 A 79CE " + hex_digits(30)));
    const std::string data = "TXDATA_V1 0 0 0 0 0 0 0 A 79CE " + hex_digits(32);
    ErrorPtr error = parse_failure(data);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA data field, invalid format: " + data +
                                 " (data field longer than 31 characters)"));
    const std::string code = "TXDATA_V1 0 0 0 0 0 0 0 A 79CE0 11";
    error = parse_failure(code);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA hmac field, invalid format: " + code +
                                 " (hmac field longer than 4 characters)"));
}

TEST(HostileNumbers, ValuesBeyondTheirFieldStopTheConversion)
{
    struct Case {
        std::string line;
        std::string message_start;
    };
    const Case cases[] = {
        {"FDATA_V1 4294967296 14 0 - 1 2 3 4", "cannot parse FDATA_V1, invalid format (0!=8)"},
        {"FDATA_V1 99999999999999999999999 14 0 - 1 2 3 4",
         "cannot parse FDATA_V1, invalid format (0!=8)"},
        {"FDATA_V1 1 14 0 - 18446744073709551616 2 3 4",
         "cannot parse FDATA_V1, invalid format (4!=8)"},
        {"FDATA_V1 1 14 0 - -9223372036854775809 2 3 4",
         "cannot parse FDATA_V1, invalid format (4!=8)"},
        {"FDATA_V1 1 14 0 - 1 1e39 3 4", "cannot parse FDATA_V1, invalid format (5!=8)"},
        {"FDATA_V1 1 14 0 - 1 2 -1e400 4", "cannot parse FDATA_V1, invalid format (6!=8)"},
        {"FDATA_V1 -1 14 0 - 1 2 3 4", "cannot parse FDATA_V1, invalid format (0!=8)"},
        {"FDATA_V1 1 14 0 - 1 2 3 4x", "cannot parse FDATA_V1, invalid format (7!=8)"},
        {"FDATA_V1 1 14 0 - 1 0x10 3 4", "cannot parse FDATA_V1, invalid format (5!=8)"},
        {"FDATA_V1 ++1 14 0 - 1 2 3 4", "cannot parse FDATA_V1, invalid format (0!=8)"},
        {"FDATA 0 100 1 - 1 2 3 4 5", "cannot parse FDATA, invalid format (0!=8)"},
        {"FDATA 0 01 100000000 - 1 2 3 4 5", "cannot parse FDATA, invalid format (1!=8)"},
        {"FDATA 0 01 1 - 2147483648 2 3 4 5", "cannot parse FDATA, invalid format (3!=8)"},
        {"TXDATA_V1 0 0 0 0 0 0 65536 A 79CE -", "cannot parse TXDATA_V1, invalid format (6!=10)"},
        {"TXDATA_V1 0 4294967296 0 0 0 0 0 A 79CE -",
         "cannot parse TXDATA_V1, invalid format (1!=10)"},
        {"TXDATA_V1 0 0 0 0 0 0 0 1FFFFFFFF 79CE -",
         "cannot parse TXDATA_V1, invalid format (7!=10)"},
    };
    for (const Case &c : cases) {
        ErrorPtr error = parse_failure(c.line);
        ASSERT_TRUE(error) << c.line;
        EXPECT_EQ(error->code, KVRPROTO_ERR_BADFORMAT) << c.line;
        EXPECT_EQ(std::string(error->message), c.message_start + ": " + c.line);
    }
}

TEST(HostileNumbers, ExtremesThatFitAreKept)
{
    kvrframe *frame = nullptr;
    ASSERT_TRUE(kvrproto_fdata_parse("FDATA_V1 4294967295 +7 0 - 9223372036854775808 "
                                     "-3.4e38 1e-50 nan",
                                     &frame, nullptr));
    FramePtr owned(frame);
    EXPECT_EQ(frame->f.v1.seq, 0xFF) << "the low 8 bits of the sequence are kept";
    EXPECT_EQ(frame->f.v1.frame_length, 7);
    EXPECT_EQ(frame->f.v1.timestamp, G_MININT64);
    EXPECT_FLOAT_EQ(frame->f.v1.freq, -3.4e38f);
    EXPECT_EQ(frame->f.v1.snr, 0.0f) << "a value below the float range reads as zero";
    EXPECT_TRUE(std::isnan(frame->f.v1.rssi));
}

TEST(HostileBuffers, EmbeddedNulEndsTheLine)
{
    // A length-delimited buffer handed over as a C string ends at its first NUL.
    static const char kBuffer[] = "FDATA_V1 1 14 0\0 0102 1234 -150 12.5 -120.25";
    const std::string buffer(kBuffer, sizeof(kBuffer) - 1);
    ErrorPtr error = parse_failure(buffer);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1, invalid format (3!=8): FDATA_V1 1 14 0"));
    static const char kInData[] = "FDATA_V1 1 14 0 01\0"
                                  "02 1234 -150 12.5 -120.25";
    const std::string in_data(kInData, sizeof(kInData) - 1);
    error = parse_failure(in_data);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1, invalid format (4!=8): FDATA_V1 1 14 0 01"));
}

TEST(HostileBuffers, HeadersWithoutFields)
{
    ErrorPtr error = parse_failure("FDATA_V1 ");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1, invalid format (0!=8): FDATA_V1 "));
    error = parse_failure("FDATA ");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA, invalid format (0!=8): FDATA "));
    error = parse_failure("TXDATA_V1 \t\n");
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse TXDATA_V1, invalid format (0!=10): TXDATA_V1 \t\n"));
}

TEST(HostileBuffers, NullLineAndNoOutPointer)
{
    GError *error = nullptr;
    kvrframe *frame = nullptr;
    EXPECT_FALSE(kvrproto_fdata_parse(nullptr, &frame, &error));
    ErrorPtr owned(error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, KVRPROTO_ERRDOM);
    // Parsing without an out-pointer validates the line and keeps nothing.
    EXPECT_TRUE(kvrproto_fdata_parse("FDATA_V1 0 0 0 - 0 0 0 0", nullptr, nullptr));
    EXPECT_TRUE(kvrproto_txdata_parse("TXDATA_V1 0 0 0 0 0 0 0 A 79CE -", nullptr, nullptr));
}

// Each missing handle is named after the C entry point that was called.
TEST(HostileBuffers, MissingHandleNamesTheCalledFunction)
{
    const guint8 key[KVRPROTO_HMAC_KEY_LEN] = {};
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    FramePtr record(kvrproto_alloc_frame());
    record->v = KVRPROTO_VERSION_V1;
    GenPtr object(KVRPROTO_FRAME_GEN(kvrproto_frame_v1_new()));
    KvrprotoFrameGen *copy = nullptr;

    const auto expect_named = [](const char *function, auto call) {
        GError *error = nullptr;
        call(&error);
        ErrorPtr owned(error);
        EXPECT_TRUE(IsProtoError(error, KVRPROTO_ERR, std::string(function) + ": invalid handle"));
    };
#define EXPECT_NAMED(function, ...)                                                                \
    expect_named(#function, [&](GError **e) { function(__VA_ARGS__); })
    EXPECT_NAMED(kvrproto_fdata_parse, nullptr, nullptr, e);
    EXPECT_NAMED(kvrproto_txdata_parse, nullptr, nullptr, e);
    EXPECT_NAMED(kvrproto_fdata_to_string, nullptr, e);
    EXPECT_NAMED(kvrproto_txdata_to_string, nullptr, e);
    EXPECT_NAMED(kvrproto_to_string, nullptr, e);
    EXPECT_NAMED(kvrproto_get_tstid, nullptr, e);
    EXPECT_NAMED(kvrproto_compute_hmac, nullptr, key, 16, code, &code_length, e);
    EXPECT_NAMED(kvrproto_compute_hmac, record.get(), key, 16, nullptr, nullptr, e);
    EXPECT_NAMED(kvrproto_check_hmac, nullptr, key, 16, e);
    EXPECT_NAMED(kvrproto_parse, nullptr, e);
    EXPECT_NAMED(kvrproto_frame_from_struct, nullptr, e);
    EXPECT_NAMED(kvrproto_frame_gen_to_string, nullptr, e);
    EXPECT_NAMED(kvrproto_frame_gen_copy, nullptr, &copy, e);
    EXPECT_NAMED(kvrproto_frame_gen_set_payload, nullptr, code, 1, e);
    EXPECT_NAMED(kvrproto_frame_gen_set_payload, object.get(), nullptr, 1, e);
    EXPECT_NAMED(kvrproto_frame_v1_compute_hmac, nullptr, key, 16, code, &code_length, e);
    EXPECT_NAMED(kvrproto_frame_v1_check_hmac, nullptr, key, 16, e);
    EXPECT_NAMED(kvrproto_frame_v1_update_hmac, nullptr, key, 16, e);
    EXPECT_NAMED(kvrproto_frame_v1_dlk_compute_hmac, nullptr, key, 16, code, &code_length, e);
    EXPECT_NAMED(kvrproto_frame_v1_dlk_update_hmac, nullptr, key, 16, e);
#undef EXPECT_NAMED
}

// Inputs found by the fuzz target, kept so that each stays refused cleanly.
TEST(FuzzFindings, OverlongDataTokenWithHighBytes)
{
    // Found against a build whose data field copy trusted the token length:
    // the 58-character token overflowed the field buffer.
    static const char kInput[] =
        "FDATA_V1 0 22 1 C5v778563412A0A1A2A3A4438B66105184467440737092\xff\xff\xff\xff\xff\xff"
        "51615C 1 2 3 4";
    const std::string line(kInput, sizeof(kInput) - 1);
    ErrorPtr error = parse_failure(line);
    EXPECT_TRUE(IsProtoError(error.get(), KVRPROTO_ERR_BADFORMAT,
                             "cannot parse FDATA_V1 data field, invalid format: " + line +
                                 " (data field longer than 55 characters)"));
    GError *object_error = nullptr;
    EXPECT_EQ(kvrproto_parse(line.c_str(), &object_error), nullptr);
    ErrorPtr owned(object_error);
    EXPECT_NE(object_error, nullptr);
}
