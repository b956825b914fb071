/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The frame chain: counters, time values, filters and their order, and who
 * owns the frame handed to the host. */
#include "iqhub_test_util.h"

using namespace iqhub_test;

namespace
{

/* A signed message of device @tid as the FDATA_V1 line the chain receives. */
std::string signed_line(guint32 tid, gint64 sample_id, bool forge)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    const guint8 payload[] = {0xde, 0xad, 0xbe};
    EXPECT_TRUE(vekgen_frame_set_uplink(&f, tid, 77, payload, sizeof(payload), forge, nullptr));
    std::string hex;
    for (guint i = 0; i < f.covered_len; i++) {
        gchar digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", f.bytes[i]);
        hex += digits;
    }
    g_autofree gchar *line =
        g_strdup_printf("FDATA_V1 1 %u 0 %s %" G_GINT64_FORMAT " 5 10.00 -90.00", f.covered_len + 6,
                        hex.c_str(), sample_id);
    return line;
}

guint64 counter(Iqhub *hub, const char *name)
{
    guint64 value = 0;
    g_object_get(hub, name, &value, nullptr);
    return value;
}

class IqhubFrameChain : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        capture_logs();
        hub_ = iqhub_new_with_options("tsdepth", 4u, nullptr);
        iqhub_ts_reset(hub_, nullptr);
        iqhub_ts_bind(hub_, 1000, make_tv(1700000000), nullptr);
    }
    void TearDown() override { iqhub_unref(hub_); }
    gboolean feed(const std::string &line, GError **error = nullptr)
    {
        return iqhub_filter(hub_, line.c_str(), line.size(), error);
    }
    void collect()
    {
        iqhub_set_frame_callback(hub_, Collector::on_frame, &collector_, nullptr, nullptr);
    }
    Iqhub *hub_ = nullptr;
    Collector collector_;
};

} // namespace

TEST_F(IqhubFrameChain, CountsSyntaxAndTimestampFailuresApart)
{
    collect();
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(feed("TXDATA_V1 garbage", &error));
    EXPECT_EQ(error->domain, 1u) << "the parser's own error";
    g_clear_error(&error);
    EXPECT_FALSE(feed(fdata_v1_line(5000, 1), &error));
    EXPECT_STREQ(error->message, "cannot get time stamp for sampleId: 5000");
    EXPECT_TRUE(feed(fdata_v1_line(1000, 1)));
    EXPECT_EQ(counter(hub_, "frames-error-syntax"), 1u);
    EXPECT_EQ(counter(hub_, "frames-error-ts"), 1u);
    EXPECT_EQ(counter(hub_, "frames"), 1u);
    EXPECT_EQ(counter(hub_, "frames-drop"), 0u);
    ASSERT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(collector_.frames[0].f.v1.timestamp, 1700000000);
}

TEST_F(IqhubFrameChain, WithoutACallbackAGoodFrameIsCountedAndFreed)
{
    EXPECT_TRUE(feed(fdata_v1_line(1, 1)));
    EXPECT_EQ(counter(hub_, "frames"), 1u);
}

TEST_F(IqhubFrameChain, AFrameAfterTheWrapGetsItsWritesTime)
{
    collect();
    iqhub_ts_reset(hub_, nullptr);
    iqhub_ts_bind(hub_, 0x7fffff00u, make_tv(1), nullptr);
    iqhub_ts_bind(hub_, 0x200u, make_tv(4102444800), nullptr); /* spans the wrap; year 2100 */
    EXPECT_TRUE(feed(fdata_v1_line(G_MININT32 + 5, 1)));
    ASSERT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(collector_.frames[0].f.v1.timestamp, 4102444800);
}

TEST_F(IqhubFrameChain, CallbackErrorsPropagateAndTheRecordFormIsFreed)
{
    auto refuse = [](Iqhub *, kvrframe *frame, gpointer, GError **error) -> gboolean {
        (void)frame; /* not freed here: the chain frees it on error */
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_FAILED, "host refused");
        return FALSE;
    };
    iqhub_set_frame_callback(hub_, refuse, nullptr, nullptr, nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(feed(fdata_v1_line(1, 1), &error));
    EXPECT_STREQ(error->message, "host refused");

    auto refuse_object = [](Iqhub *, KvrprotoFrameGen *frame, gpointer,
                            GError **error) -> gboolean {
        g_object_unref(frame);
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_FAILED, "object refused");
        return FALSE;
    };
    iqhub_set_frame_callback(hub_, nullptr, nullptr, nullptr, nullptr);
    iqhub_set_frame_callback_gobject(hub_, refuse_object, nullptr, nullptr, nullptr);
    g_clear_error(&error);
    EXPECT_TRUE(feed(fdata_v1_line(1, 1), &error)) << "the object form still reports success";
    EXPECT_STREQ(error->message, "object refused");
}

TEST_F(IqhubFrameChain, TheRecordFormWinsWhenBothAreSet)
{
    int objects = 0;
    auto on_object = [](Iqhub *, KvrprotoFrameGen *frame, gpointer data, GError **) -> gboolean {
        ++*static_cast<int *>(data);
        g_object_unref(frame);
        return TRUE;
    };
    iqhub_set_frame_callback_gobject(hub_, on_object, &objects, nullptr, nullptr);
    EXPECT_TRUE(feed(fdata_v1_line(2, 0x42)));
    EXPECT_EQ(objects, 1);
    iqhub_set_frame_callback(hub_, Collector::on_frame, &collector_, nullptr, nullptr);
    EXPECT_TRUE(feed(fdata_v1_line(3, 0x42)));
    EXPECT_EQ(objects, 1);
    ASSERT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(kvrproto_get_tstid(&collector_.frames[0], nullptr), 0x42u);
}

TEST_F(IqhubFrameChain, DeviceFilterModes)
{
    collect();
    g_autoptr(IqhubDeviceFilter) white = iqhub_device_filter_new_with_options(
        "mode", static_cast<guint>(IQHUB_DEVICE_FILTER_MODE_WHITELIST), nullptr);
    iqhub_add_filter(hub_, IQHUB_IFILTER(white));
    clear_logs();
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x12AB34)));
    EXPECT_EQ(collector_.frames.size(), 0u) << "an empty white list keeps nothing";
    EXPECT_EQ(count_logged("Receiving message from undeclared ID"), 1);

    iqhub_device_filter_register_device(white, 0x12AB34);
    EXPECT_EQ(count_logged("Registering device:12AB34"), 1);
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x12AB34)));
    EXPECT_EQ(collector_.frames.size(), 1u);
    iqhub_delete_filter(hub_, IQHUB_IFILTER(white));

    g_autoptr(IqhubDeviceFilter) black = iqhub_device_filter_new();
    iqhub_device_filter_register_device(black, 0x99);
    iqhub_device_filter_register_device(black, 0x99);
    iqhub_add_filter(hub_, IQHUB_IFILTER(black));
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x99)));
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x98)));
    EXPECT_EQ(collector_.frames.size(), 2u);
    iqhub_device_filter_unregister_device(black, 0x99);
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x99))) << "a duplicate stays after one unregistration";
    EXPECT_EQ(collector_.frames.size(), 2u);
    EXPECT_EQ(
        g_list_length(const_cast<GList *>(iqhub_device_filter_list_registered_devices(black))), 1u);

    g_autoptr(IqhubDeviceFilter) other =
        iqhub_device_filter_new_with_options("mode", 255u, nullptr);
    iqhub_delete_filter(hub_, IQHUB_IFILTER(black));
    iqhub_add_filter(hub_, IQHUB_IFILTER(other));
    clear_logs();
    EXPECT_TRUE(feed(fdata_v1_line(1, 0x99)));
    EXPECT_EQ(collector_.frames.size(), 3u);
    EXPECT_EQ(count_logged("undeclared"), 0);
    EXPECT_EQ(counter(hub_, "frames-drop"), 3u);

    GEnumClass *modes = static_cast<GEnumClass *>(g_type_class_ref(IQHUB_TYPE_DEVICE_FILTER_MODE));
    EXPECT_STREQ(g_enum_get_value(modes, 255)->value_nick, "unsupported");
    g_type_class_unref(modes);
}

TEST_F(IqhubFrameChain, AuthenticationDropsWrongCodesAndRunsBeforeEarlierFilters)
{
    collect();
    g_autoptr(IqhubDeviceFilter) white = iqhub_device_filter_new_with_options("mode", 1u, nullptr);
    iqhub_device_filter_register_device(white, 0x12AB34);
    g_autoptr(IqhubHmacFilter) auth = iqhub_hmac_filter_new();
    iqhub_add_filter(hub_, IQHUB_IFILTER(white));
    iqhub_add_filter(hub_, IQHUB_IFILTER(auth));

    clear_logs();
    EXPECT_TRUE(feed(signed_line(0x12AB34, 10, false)));
    EXPECT_TRUE(feed(signed_line(0x12AB34, 10, true)));
    EXPECT_TRUE(feed(signed_line(0x777, 10, true)));
    EXPECT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(counter(hub_, "frames-drop"), 2u);
    EXPECT_EQ(count_logged("Receiving message with bad authentication (not public key)"), 2);
    EXPECT_EQ(count_logged("undeclared"), 0) << "the device filter never saw the forged frames";

    /* The filters property lists them in the order they run, without taking them. */
    GPtrArray *filters = nullptr;
    g_object_get(hub_, "filters", &filters, nullptr);
    ASSERT_EQ(filters->len, 2u);
    EXPECT_EQ(filters->pdata[0], static_cast<gpointer>(auth));
    EXPECT_EQ(filters->pdata[1], static_cast<gpointer>(white));
    g_ptr_array_unref(filters);

    /* One switch turns every authentication filter off. */
    g_autoptr(IqhubHmacFilter) another = iqhub_hmac_filter_new();
    iqhub_hmac_filter_set_auth(another, FALSE);
    EXPECT_EQ(count_logged("Message authentication  disabled"), 1);
    EXPECT_TRUE(feed(signed_line(0x12AB34, 10, true)));
    EXPECT_EQ(collector_.frames.size(), 2u);
    iqhub_hmac_filter_set_auth(another, TRUE);
}

TEST_F(IqhubFrameChain, AFirstVersionFrameAlwaysPassesAuthentication)
{
    collect();
    g_autoptr(IqhubHmacFilter) auth = iqhub_hmac_filter_new();
    iqhub_add_filter(hub_, IQHUB_IFILTER(auth));
    EXPECT_TRUE(feed("FDATA 0 01 1234 0102 1 7 100 10.00 -80.00"));
    ASSERT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(collector_.frames[0].v, KVRPROTO_VERSION_V0);
    EXPECT_EQ(collector_.frames[0].f.v0.timestamp, 1700000000);
}

TEST(IqhubFilterInterface, ANonFilterKeepsTheFrameWithAWarning)
{
    g_autoptr(GObject) plain = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    kvrframe frame = {};
    g_test_expect_message("iqhub", G_LOG_LEVEL_CRITICAL, "*IQHUB_IS_IFILTER (self)*");
    EXPECT_TRUE(iqhub_ifilter_do_filter(reinterpret_cast<IqhubIfilter *>(plain), &frame));
    g_test_assert_expected_messages();
}
