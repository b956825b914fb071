/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink bulk channel of one opened card (interface 2, bulk OUT 0x02). */
#pragma once

#include <glib.h>

#include "bottom.h"

#define XVEK_DL_IFACE 2
#define XVEK_DL_ENDPOINT 0x02
#define XVEK_DL_TIMEOUT_MS 3000

/* Claims interface 2. */
gboolean bottom_dl_init(sBottomPriv *b, GError **error);
/* Status active, one bulk transfer of the whole block, status inactive. */
gboolean bottom_dl_send(sBottomPriv *b, const guint8 *buffer, gsize buflen, GError **error);
/* Releases interface 2; a failure is reported on standard error only. */
void bottom_dl_release(sBottomPriv *b);
