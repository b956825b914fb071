/* SPDX-License-Identifier: GPL-2.0-or-later */
/* At most one log line per interval for a message that a peer can provoke at
 * will, with the count of those left unsaid. */
#pragma once

#include <glib.h>

namespace vekbs
{

class LogLimiter
{
  public:
    explicit LogLimiter(gint64 interval_us = 10 * G_USEC_PER_SEC) : interval_us_(interval_us) {}
    /* True when a line may be logged at @now_us (monotonic); @unsaid is then
     * how many were held back since the last line. */
    bool allow(gint64 now_us, guint64 *unsaid)
    {
        if (said_ && now_us - last_us_ < interval_us_) {
            held_++;
            return false;
        }
        said_ = true;
        last_us_ = now_us;
        *unsaid = held_;
        held_ = 0;
        return true;
    }

  private:
    gint64 interval_us_;
    gint64 last_us_ = 0;
    bool said_ = false;
    guint64 held_ = 0;
};

} // namespace vekbs
