/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Readiness and status for the service manager (a no-op outside systemd). */
#include "service.h"

#include <systemd/sd-daemon.h>

namespace vekbs
{

void service_notify(const char *state)
{
    sd_notify(0, state);
}

guint service_watchdog_ms()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return 0;
    return static_cast<guint>(MAX(usec / 2000, 1u));
}

} // namespace vekbs
