/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Device-information query of one opened card. */
#pragma once

#include <glib.h>

#include "bottom.h"

gboolean bottom_private_info(sBottomPriv *b, VektypeStructDeviceInfo *info, GError **error);
