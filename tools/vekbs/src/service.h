/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Telling the service manager how the station is doing (systemd's notify
 * protocol; nothing happens outside a unit of Type=notify). */
#pragma once

#include <glib.h>

namespace vekbs
{

void service_notify(const char *state);
/* How often the main loop must say WATCHDOG=1 (half the unit's WatchdogSec=),
 * in milliseconds; 0 when the service manager watches nothing. */
guint service_watchdog_ms();

} // namespace vekbs
