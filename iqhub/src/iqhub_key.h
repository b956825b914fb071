/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The AES-128 key of frame authentication codes: the key the network's
 * devices sign their uplink frames with, and the one downlink frames are
 * signed with. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define IQHUB_AUTH_KEY_LEN 16

/* Writes the 16 key bytes into @key. */
void iqhub_auth_key(guint8 key[IQHUB_AUTH_KEY_LEN]);

G_END_DECLS
