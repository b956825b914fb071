/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Telling the service manager how the station is doing (systemd's notify
 * protocol; nothing happens outside a unit of Type=notify). */
#pragma once

namespace vekbs
{

void service_notify(const char *state);

} // namespace vekbs
