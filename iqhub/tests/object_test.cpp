/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The object's configuration: properties as declared, their particulars,
 * start and stop rules, and who releases the host's user data. */
#include "iqhub_test_util.h"

#include <cfloat>

#include <kvrlog/kvrlog.h>

using namespace iqhub_test;

namespace
{

struct Declared {
    guint id;
    const char *name;
    const char *nick;
    GType type;
    GParamFlags flags;
};

constexpr auto kConstructOnly =
    static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY);
constexpr auto kConstruct = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT);

GParamSpec *find(const char *name)
{
    g_autoptr(GTypeClass) klass = static_cast<GTypeClass *>(g_type_class_ref(IQHUB_TYPE_IQHUB));
    return g_object_class_find_property(G_OBJECT_CLASS(klass), name);
}

guint get_uint(Iqhub *hub, const char *name)
{
    guint value = 0;
    g_object_get(hub, name, &value, nullptr);
    return value;
}

std::string get_string(Iqhub *hub, const char *name)
{
    g_autofree gchar *value = nullptr;
    g_object_get(hub, name, &value, nullptr);
    return value == nullptr ? "<none>" : value;
}

} // namespace

TEST(IqhubProperties, AreDeclaredWithTheirIdsNicksAndFlags)
{
    const Declared declared[] = {
        {IQHUB_PROP_SPECTRA, "spectra", "spectra", G_TYPE_BOOLEAN, kConstructOnly},
        {IQHUB_PROP_PORT_AVAIL, "port-avail", "portAvail", G_TYPE_UINT, kConstructOnly},
        {IQHUB_PROP_INT_GAIN, "int-gain", "intGain", G_TYPE_DOUBLE, kConstructOnly},
        {IQHUB_PROP_PROTOCOLS, "protocols", "Protocols", G_TYPE_UINT, kConstructOnly},
        {IQHUB_PROP_BPSP, "bpsp", "bpsp", G_TYPE_UINT, G_PARAM_READABLE},
        {IQHUB_PROP_TSDEPTH, "tsdepth", "Time stamp depth", G_TYPE_UINT, kConstruct},
        {IQHUB_PROP_ERRAPI, "errapi", "errapi", G_TYPE_STRING, G_PARAM_READABLE},
        {IQHUB_PROP_FILTERS, "filters", "Filters", G_TYPE_PTR_ARRAY, G_PARAM_READABLE},
        {IQHUB_PROP_UPLINK_CF, "uplink-cf", "Uplink central frequency", G_TYPE_DOUBLE, kConstruct},
        {STATS_PROP_FRAMES_ERROR_SYNTAX, "frames-error-syntax", "Frame syntax error", G_TYPE_UINT64,
         G_PARAM_READABLE},
        {IQHUB_PROP_RAW_SDR_LOG, "log-raw-sdr", "logRawSdr", G_TYPE_BOOLEAN, G_PARAM_READWRITE},
    };
    for (const Declared &d : declared) {
        GParamSpec *pspec = find(d.name);
        ASSERT_NE(pspec, nullptr) << d.name;
        EXPECT_EQ(pspec->param_id, d.id) << d.name;
        EXPECT_STREQ(g_param_spec_get_nick(pspec), d.nick);
        EXPECT_EQ(G_PARAM_SPEC_VALUE_TYPE(pspec), d.type) << d.name;
        EXPECT_EQ(pspec->flags & (G_PARAM_READWRITE | G_PARAM_CONSTRUCT | G_PARAM_CONSTRUCT_ONLY),
                  d.flags)
            << d.name;
    }
    EXPECT_STREQ(g_param_spec_get_blurb(find("port-avail")),
                 "UDP listening port for channel availability display");
    EXPECT_EQ(G_PARAM_SPEC_DOUBLE(find("int-gain"))->minimum, -DBL_MAX);
    EXPECT_EQ(G_PARAM_SPEC_UINT(find("adc-resolution"))->minimum, 8u);
    EXPECT_EQ(G_PARAM_SPEC_UINT(find("tsdepth"))->minimum, 1u);
    /* Reserved ids carry no property. */
    EXPECT_EQ(find("mode"), nullptr);
}

TEST(IqhubProperties, DefaultsOfAFreshObject)
{
    g_autoptr(Iqhub) hub = iqhub_new();
    gdouble int_gain = 0, ext_gain = 0;
    guint64 frames = 1;
    g_object_get(hub, "int-gain", &int_gain, "ext-gain", &ext_gain, "frames", &frames, nullptr);
    EXPECT_EQ(int_gain, 121.0);
    EXPECT_EQ(ext_gain, 22.5);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(get_uint(hub, "port-avail"), 2346u);
    EXPECT_EQ(get_uint(hub, "macro-channel"), 192000u);
    EXPECT_EQ(get_uint(hub, "bit-rate"), 100u);
    EXPECT_EQ(get_uint(hub, "protocols"), 3u);
    EXPECT_EQ(get_uint(hub, "platform"), 1u);
    EXPECT_EQ(get_uint(hub, "tsdepth"), 10u);
    EXPECT_EQ(get_uint(hub, "bpsp"), 4u);
    EXPECT_EQ(get_uint(hub, "iq-size"), 0u);
    EXPECT_EQ(get_uint(hub, "iq-size-bytes"), 0u);
    EXPECT_EQ(get_string(hub, "errapi"), "No error");
    EXPECT_EQ(get_string(hub, "version"), "<none>");
    EXPECT_EQ(get_string(hub, "tapid"), "(none)");
}

TEST(IqhubProperties, AdcResolutionGivesBytesPerSample)
{
    const std::pair<guint, guint> cases[] = {{12, 2}, {16, 4}, {8, 2}, {255, 62}};
    for (auto [bits, bpsp] : cases) {
        g_autoptr(Iqhub) hub = iqhub_new_with_options("adc-resolution", bits, nullptr);
        EXPECT_EQ(get_uint(hub, "bpsp"), bpsp) << bits;
    }
}

TEST(IqhubProperties, StoredValuesComeBackUnchanged)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("tapid", "tap-7", "uplink-cf", 868.1e6,
                                                  "noise-figure", -3.5, "platform", 4u, nullptr);
    gdouble cf = 0, nf = 0;
    g_object_get(hub, "uplink-cf", &cf, "noise-figure", &nf, nullptr);
    EXPECT_EQ(cf, 868.1e6);
    EXPECT_EQ(nf, -3.5);
    EXPECT_EQ(get_string(hub, "tapid"), "tap-7");
    EXPECT_EQ(get_uint(hub, "platform"), 4u);
    g_object_set(hub, "log-raw-sdr", TRUE, "uplink-cf", 433.0e6, nullptr);
    gboolean raw = FALSE;
    g_object_get(hub, "log-raw-sdr", &raw, "uplink-cf", &cf, nullptr);
    EXPECT_TRUE(raw);
    EXPECT_EQ(cf, 433.0e6);
}

TEST(IqhubProperties, OnloadRegistersTheEightTraceNames)
{
    capture_logs();
    iqhub_onload();
    const std::pair<const char *, guint64> traces[] = {
        {"TRACE_IQHUB", 0x10000},         {"TRACE_IQHUB_OBJ", 0x400000},
        {"TRACE_IQHUB_SCHED", 0x20000},   {"TRACE_IQHUB_FILTER", 0x80000},
        {"TRACE_IQHUB_METRIC", 0x100000}, {"TRACE_IQHUB_TSTAMP", 0x200000},
        {"TRACE_IQHUB_SPCT", 0x800000},   {"TRACE_IQHUB_SPCT_MORE", 0x1000000},
    };
    ASSERT_NE(gsRegisteredTraces, nullptr);
    for (auto [name, mask] : traces) {
        auto *value = static_cast<guint64 *>(g_hash_table_lookup(gsRegisteredTraces, name));
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(*value, mask) << name;
    }
}

TEST(IqhubStart, AdvisesWholePacketsOfAbout15Ms)
{
    const struct {
        guint rate;
        guint macro_channel;
        gsize advised;
        guint iq_size;
    } cases[] = {
        {100, 192000, 61440, 15360},
        {600, 192000, 10240, 2560},
        {600, 0, 10240, 2560},
        {600, 1920000, 112640, 2560}, /* 115200 bytes of 15 ms: 11 packets */
    };
    for (const auto &c : cases) {
        g_autoptr(Iqhub) hub =
            iqhub_new_with_options("bit-rate", c.rate, "macro-channel", c.macro_channel, nullptr);
        gsize advised = 0;
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(iqhub_start(hub, &advised, &error)) << error->message;
        EXPECT_EQ(advised, c.advised);
        EXPECT_EQ(get_uint(hub, "iq-size"), c.iq_size);
        EXPECT_EQ(get_uint(hub, "iq-size-bytes"), 4 * c.iq_size);
        EXPECT_NE(get_string(hub, "version"), "<none>");
        gsize again = 7;
        EXPECT_TRUE(iqhub_start(hub, &again, nullptr));
        EXPECT_EQ(again, 7u) << "a second start leaves the advised length alone";
        ASSERT_TRUE(iqhub_stop_sync(hub, nullptr));
        EXPECT_EQ(get_string(hub, "version"), "(none)");
        EXPECT_TRUE(iqhub_stop_sync(hub, nullptr));
    }
}

TEST(IqhubStart, DemodulatorRefusalIsReportedAndKeptInErrapi)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("bit-rate", 300u, nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(hub, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(IQHUB_ERRDOM));
    EXPECT_EQ(error->code, IQHUB_ERR_EINVAL);
    EXPECT_STREQ(error->message, "libsdr initialization failed code: 2 (ERRAPI: --bit-rate must "
                                 "be either 100 or 600\n)");
    EXPECT_EQ(get_string(hub, "errapi"), " --bit-rate must be either 100 or 600");

    g_autoptr(Iqhub) negative = iqhub_new_with_options("int-gain", -1.0, nullptr);
    g_clear_error(&error);
    EXPECT_FALSE(iqhub_start(negative, nullptr, &error));
    EXPECT_TRUE(g_str_has_prefix(error->message, "libsdr initialization failed code: 1 ("));

    /* Nothing was left bound: a good configuration starts. */
    g_autoptr(Iqhub) good = iqhub_new();
    EXPECT_TRUE(iqhub_start(good, nullptr, nullptr));
    EXPECT_EQ(get_string(good, "errapi"), "No error");
}

TEST(IqhubStart, SpectraIsRefusedAfterReadingTheVersion)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("spectra", TRUE, nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(hub, nullptr, &error));
    EXPECT_STREQ(error->message, "spectra doesn't exist with iqhub in vdem mode");
    EXPECT_NE(get_string(hub, "version"), "<none>");
    g_autoptr(Iqhub) next = iqhub_new();
    EXPECT_TRUE(iqhub_start(next, nullptr, nullptr)) << "the demodulator stayed untouched";
}

TEST(IqhubStart, RefusesSamplesTheDemodulatorCannotRead)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("adc-resolution", 8u, nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(hub, nullptr, &error));
    EXPECT_EQ(error->domain, static_cast<GQuark>(IQHUB_ERRDOM));
    EXPECT_EQ(error->code, IQHUB_ERR_EINVAL);
    EXPECT_NE(strstr(error->message, "2 bytes per sample"), nullptr) << error->message;
    EXPECT_EQ(get_uint(hub, "iq-size-bytes"), 0u);
}

/* A host frees the user data of a callback it replaces itself: the object
 * calls a destroy function only at finalisation, on the data then in place. */
TEST(IqhubCallbacks, ReplacingACallbackLeavesItsUserDataAndFinalizationReleasesTheDataInPlace)
{
    int released[4] = {0, 0, 0, 0};
    auto release = [](gpointer data) { ++*static_cast<int *>(data); };
    Iqhub *hub = iqhub_new();
    iqhub_set_frame_callback(hub, Collector::on_frame, &released[0], release, nullptr);
    iqhub_set_frame_callback_gobject(hub, nullptr, &released[0], release, nullptr);
    iqhub_set_frame_callback(hub, Collector::on_frame, &released[1], release, nullptr);
    iqhub_set_rfsat_callback(hub, nullptr, &released[2], release, nullptr);
    iqhub_set_rfsat_callback(hub, nullptr, &released[3], release, nullptr);
    EXPECT_EQ(released[0], 0);
    EXPECT_EQ(released[2], 0);
    iqhub_unref(hub);
    EXPECT_EQ(released[0], 0);
    EXPECT_EQ(released[1], 1);
    EXPECT_EQ(released[2], 0);
    EXPECT_EQ(released[3], 1);
}

TEST(IqhubStart, AMissingObjectIsNamedByTheCalledFunction)
{
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(nullptr, nullptr, &error));
    EXPECT_STREQ(error->message, "iqhub_start: invalid handle");
    g_clear_error(&error);
    struct timeval tv = {};
    EXPECT_FALSE(iqhub_ts_get(nullptr, 1, &tv, &error));
    EXPECT_STREQ(error->message, "iqhub_ts_get: invalid handle");
}
