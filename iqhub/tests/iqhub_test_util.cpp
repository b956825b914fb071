/* SPDX-License-Identifier: LGPL-2.1-or-later */
#include "iqhub_test_util.h"

#include <clocale>
#include <mutex>

#include <kvrlog/kvrlog.h>
#include <xvek/xvek.h>

namespace iqhub_test
{
namespace
{

std::mutex gLogLock;
std::vector<std::string> gLogged;

void keep(const gchar *msg)
{
    std::lock_guard<std::mutex> lock(gLogLock);
    gLogged.emplace_back(msg);
}

void on_kvrlog(KvrlogLevel level, const gchar *msg)
{
    (void)level;
    keep(msg);
}

gboolean on_xvek_log(VekDevice *device, const gchar *line)
{
    (void)device;
    keep(line);
    return TRUE;
}

void on_write_done(GObject *source, GAsyncResult *result, gpointer user_data)
{
    auto *outcome = static_cast<std::pair<bool, GError *> *>(user_data);
    GError *error = nullptr;
    outcome->first = iqhub_write_finish(IQHUB_IQHUB(source), result, &error);
    outcome->second = error;
}

} // namespace

void capture_logs()
{
    static VekDevice *log_owner = nullptr;
    if (log_owner != nullptr)
        return;
    KvrlogConf *conf =
        kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_CALLBACK), "level",
                                     static_cast<guint>(KVRLOG_LEVEL_DEBUG), nullptr);
    conf->helper.callback.cb = on_kvrlog;
    ASSERT_TRUE(kvrlog_setup(conf, nullptr));
    /* The device library's log wants a device to pass along; it is never opened. */
    log_owner = XVEK_DEVICE(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    ASSERT_TRUE(xvek_logSetCB(log_owner, on_xvek_log, nullptr, nullptr, nullptr));
}

std::vector<std::string> logged()
{
    std::lock_guard<std::mutex> lock(gLogLock);
    return gLogged;
}

int count_logged(const std::string &text)
{
    int n = 0;
    for (const std::string &line : logged())
        n += line.find(text) != std::string::npos;
    return n;
}

void clear_logs()
{
    std::lock_guard<std::mutex> lock(gLogLock);
    gLogged.clear();
}

bool run_until(const std::function<bool()> &done, double timeout_s)
{
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_s * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline)
            return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!done())
            g_usleep(200);
    }
    return true;
}

gboolean write_and_wait(Iqhub *hub, const void *buffer, gsize length, struct timeval tv,
                        GError **error)
{
    std::pair<bool, GError *> outcome{false, nullptr};
    bool done = false;
    auto *state = new std::pair<std::pair<bool, GError *> *, bool *>(&outcome, &done);
    auto callback = [](GObject *source, GAsyncResult *result, gpointer user_data) {
        auto *s = static_cast<std::pair<std::pair<bool, GError *> *, bool *> *>(user_data);
        on_write_done(source, result, s->first);
        *s->second = true;
        delete s;
    };
    if (!iqhub_write_async(hub, nullptr, static_cast<const guint8 *>(buffer), length, tv, nullptr,
                           callback, state, error)) {
        delete state;
        return FALSE;
    }
    if (!run_until([&done] { return done; })) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "write never completed");
        return FALSE;
    }
    if (!outcome.first) {
        g_propagate_error(error, outcome.second);
        return FALSE;
    }
    return TRUE;
}

gboolean Collector::on_frame(Iqhub *self, kvrframe *frame, gpointer user_data, GError **error)
{
    (void)self;
    (void)error;
    static_cast<Collector *>(user_data)->frames.push_back(*frame);
    kvrproto_free_frame(frame);
    return TRUE;
}

std::vector<gint16> fill(VekgenSignal *signal, gsize n_samples)
{
    std::vector<gint16> iq(2 * n_samples);
    vekgen_signal_fill(signal, iq.data(), n_samples);
    return iq;
}

VekgenFrame make_frame(guint rate, const std::vector<guint8> &bytes, guint64 start, double freq)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    f.covered_len = static_cast<guint8>(bytes.size());
    f.repetition = 1;
    f.start_sample = start;
    f.offset_hz = freq;
    f.power_db = 60.0;
    f.phase = 0.3;
    std::copy(bytes.begin(), bytes.end(), f.bytes);
    return f;
}

std::string fdata_v1_line(gint64 sample_id, guint32 tid)
{
    /* An 8-byte frame: header (lg 0, seq 0x001), tid little-endian, code 0000. */
    g_autofree gchar *line = g_strdup_printf(
        "FDATA_V1 1 14 0 0001%02x%02x%02x%02x0000 %" G_GINT64_FORMAT " -120 12.50 -120.25",
        tid & 0xff, (tid >> 8) & 0xff, (tid >> 16) & 0xff, tid >> 24, sample_id);
    return line;
}

struct timeval make_tv(gint64 sec, gint64 usec)
{
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(sec);
    tv.tv_usec = static_cast<suseconds_t>(usec);
    return tv;
}

bool use_decimal_comma_locale()
{
    if (setlocale(LC_ALL, "fr_FR.UTF-8") != nullptr)
        return true;
    g_setenv("LOCPATH", VEK_TEST_BUILDDIR "/locale", TRUE);
    return setlocale(LC_ALL, "fr_FR.UTF-8") != nullptr;
}

} // namespace iqhub_test
