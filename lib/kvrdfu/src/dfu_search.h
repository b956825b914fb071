/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the search learns about a listed device it cannot program. */
#pragma once

#include <kvrdfu/kvrdfu.h>

/* For a device whose ids are in @list and that offers a DFU setting that
 * is_dfu_capable() does not accept (a functional descriptor other than the
 * 9-byte DFU 1.1 one): a new text saying why it is not programmed. NULL for
 * any other device. */
gchar *kvrdfu_unsupported_reason(const kvrdfu_match_list *list, libusb_device *dev);
