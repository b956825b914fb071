/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink bulk channel of an opened card, and the device-information query. */
#pragma once

#if !defined(XVEK_INSIDE) && !defined(XVEK_COMPILATION)
#error "Only <xvek/xvek.h> can be included directly."
#endif

#include <glib.h>
#include <xvek/xvek-export.h>
#include <xvek/vek_types.h>

G_BEGIN_DECLS

/**
 * xvek_dl_send: (method)
 * @buffer: (array length=buflen): the block
 * @buflen: its length in bytes
 *
 * Hands one downlink block to the card: the card's downlink status is set
 * active, the block goes out as one bulk transfer (3 s timeout), the status is
 * set inactive. TRUE when the card accepted the whole block; after a failed or
 * partial transfer the status is left active. Blocks longer than G_MAXINT32
 * bytes are refused before anything is sent, and so is any block on a card
 * opened without the downlink channel (modes other than XVEK_OPEN_MODE_RX_DL and
 * XVEK_OPEN_MODE_DL). Blocks the calling thread while the library's USB event
 * thread moves the block; two sends on one card must not overlap, and a send
 * from a stream or disconnection callback fails with LIBUSB_ERROR_BUSY.
 */
XVEK_EXPORT gboolean xvek_dl_send(VekDevice *self, const guint8 *buffer, gsize buflen,
                                  GError **error);

/**
 * xvek_device_info: (method)
 * @info: (out caller-allocates)
 *
 * Not provided by this card interface: always fails.
 */
XVEK_EXPORT gboolean xvek_device_info(VekDevice *self, VektypeStructDeviceInfo *info,
                                      GError **error);

G_END_DECLS
