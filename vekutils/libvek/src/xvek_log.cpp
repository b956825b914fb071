/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The library log: formats a line and hands it to the application's
 * callback. Called from any thread (application, USB event thread, the
 * wrapper's threads); it takes no lock and allocates nothing. */
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "xvek_priv.h"

namespace
{

constexpr gsize kMsgBufLen = 512;  /* the formatted message */
constexpr gsize kLineBufLen = 519; /* "TAG: message" */

/* The process-wide registration. Fields are atomic so that logging threads
 * may read them while the application (re)registers. */
struct VeklogSettings {
    std::atomic<VeklogCb> cb{nullptr};
    std::atomic<VekKvrlogLevel> level{LOG_LEVEL_DEBUG}; /* not used for filtering */
    std::atomic<VekDevice *> device{nullptr};           /* not referenced */
    std::atomic<gboolean> logInit{FALSE};
};

VeklogSettings gLogSettings;

const gchar *level_tag(VekKvrlogLevel level)
{
    switch (level) {
    case LOG_LEVEL_DEBUG:
        return "DEBUG";
    case LOG_LEVEL_INFO:
        return "INFO";
    case LOG_LEVEL_WARN:
        return "WARN";
    case LOG_LEVEL_ERR:
        return "ERR";
    case LOG_LEVEL_UNK:
        break;
    }
    return nullptr;
}

} // namespace

extern "C" XVEK_EXPORT gboolean xvek_log(VekKvrlogLevel level, const gchar *format, ...)
{
    if (!gLogSettings.logInit.load(std::memory_order_acquire))
        return FALSE;
    const gchar *tag = level_tag(level);
    if (tag == nullptr || format == nullptr)
        return FALSE;

    char msg[kMsgBufLen];
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(msg, sizeof msg, format, args);
    va_end(args);
    if (len < 0)
        return FALSE;
    if (static_cast<gsize>(len) > kLineBufLen) {
        std::printf("Warning_XVEK_LOG: Msg too big to be logged. Msg_Size:%d\n\r", len);
        std::fflush(stdout);
        return FALSE;
    }

    char line[kLineBufLen];
    std::snprintf(line, sizeof line, "%s: %s", tag, msg);

    VeklogCb cb = gLogSettings.cb.load(std::memory_order_acquire);
    VekDevice *device = gLogSettings.device.load(std::memory_order_acquire);
    if (cb == nullptr || device == nullptr)
        return FALSE;
    cb(device, line);
    return TRUE;
}

extern "C" XVEK_EXPORT gboolean xvek_logSetCB(VekDevice *self, VeklogCb cbFunc, gpointer user_data,
                                              GDestroyNotify notify, GError **error)
{
    (void)user_data;
    (void)notify;
    (void)error;
    if (self == nullptr || cbFunc == nullptr) {
        std::printf("xvek_logSetCB: Check callback validity failed\n\r");
        std::fflush(stdout);
        return FALSE;
    }
    gLogSettings.device.store(self, std::memory_order_release);
    gLogSettings.cb.store(cbFunc, std::memory_order_release);
    gLogSettings.logInit.store(TRUE, std::memory_order_release);
    return TRUE;
}

extern "C" XVEK_EXPORT gboolean xvek_log_is_init(VekDevice *self)
{
    (void)self;
    return gLogSettings.logInit.load(std::memory_order_acquire);
}
