/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Callback sink: hands the finished text to a host function. */
#include "kvrlog-private.h"

namespace
{

gint callback_log(KvrlogConf *conf, KvrlogLevel level, const gchar *msg)
{
    if (conf == nullptr || conf->helper.callback.cb == nullptr || msg == nullptr)
        return 0;
    /* The thread tag and the blank come on top of a whole message. */
    char buf[kKvrlogLineSize];
    std::size_t len = 0;
    if (conf->threads)
        len = kvrlog_bounded_printf(buf, sizeof(buf), "[%08llx] ", kvrlog_thread_id());
    len += kvrlog_bounded_printf(buf + len, sizeof(buf) - len, " ");
    len = kvrlog_append_message(buf, len, sizeof(buf), msg);
    conf->helper.callback.cb(level, buf);
    return static_cast<gint>(len);
}

} // namespace

const kvrlogHelper gsHelperCallback = {nullptr, callback_log, nullptr, nullptr, nullptr};
