/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The error API and the text forms of the demodulator's records. */
#include "iqhub_test_util.h"

#include <clocale>
#include <cstring>

using namespace iqhub_test;

namespace
{

std::string errapi(Iqhub *hub)
{
    g_autofree gchar *text = nullptr;
    g_object_get(hub, "errapi", &text, nullptr);
    return text;
}

vdem_proto_frame_t sample_frame()
{
    vdem_proto_frame_t f = {};
    f.f.v1.seq = 1;
    f.length = 8;
    for (guint8 i = 0; i < 8; i++)
        f.frame[i] = i + 1;
    f.sampleTimeStamp = 15360;
    f.freq = -120;
    f.snr = 12.5f;
    f.rssi = -120.25f;
    return f;
}

std::string render(const vdem_proto_frame_t &f, gboolean no_crc)
{
    g_autofree gchar *text = nullptr;
    EXPECT_TRUE(iqhub_stringify_fdata(&text, &f, no_crc, nullptr));
    return text;
}

} // namespace

TEST(IqhubErrapi, KeepsTheReasonOfAnErrapiMessage)
{
    capture_logs();
    g_autoptr(Iqhub) hub = iqhub_new();
    const char *message = "ERRAPI: --int-gain must be positive\nusage";
    ASSERT_TRUE(iqhub_errapi(hub, message, strlen(message), nullptr));
    EXPECT_EQ(errapi(hub), "No error") << "no code set yet";
    ASSERT_TRUE(iqhub_errapi_set_val(hub, 1, nullptr));
    EXPECT_EQ(errapi(hub), " --int-gain must be positive");

    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_errapi(hub, "ERRAPI:x", 8, &error));
    EXPECT_STREQ(error->message, "Err api msg too short");
    g_clear_error(&error);
    EXPECT_FALSE(iqhub_errapi(hub, "usage: demod", 12, &error));
    EXPECT_STREQ(error->message, "Invalid errapi msg 'usage: demod'");
    EXPECT_EQ(error->domain, static_cast<GQuark>(IQHUB_ERRAPI_ERRDOM));
    EXPECT_EQ(errapi(hub), " --int-gain must be positive") << "a refused text keeps the old one";
    ASSERT_TRUE(iqhub_errapi(hub, "ERRAPI:xy", 9, nullptr));
    EXPECT_EQ(errapi(hub), "xy");
    ASSERT_TRUE(iqhub_errapi(hub, "ERRAPI:\nrest", 12, nullptr));
    EXPECT_EQ(errapi(hub), "");

    g_clear_error(&error);
    EXPECT_FALSE(iqhub_errapi_set_val(hub, 0, &error));
    EXPECT_STREQ(error->message, "Invalid errapi val 0");
}

TEST(IqhubErrapi, ACodeWithoutMessageReadsNoErrorMsg)
{
    g_autoptr(Iqhub) hub = iqhub_new();
    ASSERT_TRUE(iqhub_errapi_set_val(hub, 2, nullptr));
    EXPECT_EQ(errapi(hub), "[no error msg]");
}

TEST(IqhubStringify, RendersTheFrameLine)
{
    const vdem_proto_frame_t f = sample_frame();
    EXPECT_EQ(render(f, FALSE), "FDATA_V1 1 14 0 0102030405060708 15360 -120 12.50 -120.25");
    EXPECT_EQ(render(f, TRUE), "FDATA_V1 1 12 0 0102030405060708 15360 -120 12.50 -120.25");

    vdem_proto_frame_t full = f;
    full.length = 255; /* more than the record holds: only its 27 bytes are printed */
    full.sampleTimeStamp = G_MININT32;
    std::memset(full.frame, 0xff, sizeof(full.frame));
    const std::string line = render(full, FALSE);
    EXPECT_NE(line.find(" " + std::string(54, 'f') + " -2147483648 "), std::string::npos) << line;

    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_stringify_fdata(nullptr, &f, FALSE, &error));
    EXPECT_STREQ(error->message, "pretty printer null ptr");
}

TEST(IqhubStringify, RendersAnErrorRecordWithoutReadingPastIt)
{
    vdem_error_t record = {3, "overflow"};
    g_autofree gchar *text = nullptr;
    ASSERT_TRUE(iqhub_stringify_error(&text, &record, nullptr));
    EXPECT_STREQ(text, "Error: 03 :: Msg: overflow");
    std::memset(record.msg, 'm', sizeof(record.msg));
    g_clear_pointer(&text, g_free);
    ASSERT_TRUE(iqhub_stringify_error(&text, &record, nullptr));
    EXPECT_EQ(strlen(text), strlen("Error: 03 :: Msg: ") + sizeof(record.msg));
}

TEST(IqhubStringify, TheLineParsesBackUnderADecimalCommaLocale)
{
    if (!use_decimal_comma_locale())
        GTEST_SKIP() << "no fr_FR.UTF-8 locale on this machine";
    const std::string line = render(sample_frame(), FALSE);
    setlocale(LC_ALL, "C");
    EXPECT_EQ(line, "FDATA_V1 1 14 0 0102030405060708 15360 -120 12.50 -120.25");
}
