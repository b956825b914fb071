/* Device-information query of one opened card. */
#pragma once

#include <glib.h>

#include "bottom.h"

gboolean bottom_private_info(sBottomPriv *b, VektypeStructDeviceInfo *info, GError **error);
