/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Device-information query: this card interface has no request for it. */
#include "upriv.h"

gboolean bottom_private_info(sBottomPriv *b, VektypeStructDeviceInfo *info, GError **error)
{
    (void)b;
    (void)info;
    return xvek_non_supported("Private info", error);
}
