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

} // namespace vekbs
