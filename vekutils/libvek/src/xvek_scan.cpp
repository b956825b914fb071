/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Public scan functions: the bottom layer does the work. */
#include "bottom.h"
#include "xvek_priv.h"

extern "C" {

XVEK_EXPORT gboolean xvek_scan_get_device_nb(guint32 *pnb, GError **error)
{
    return bottom_scan_get_device_nb(pnb, error);
}

XVEK_EXPORT gboolean xvek_scan_print_info_all(gchar **pprint, GError **error)
{
    return bottom_scan_print_info_all(pprint, error);
}

XVEK_EXPORT gboolean xvek_scan_get_first_device_id(guint32 *p_id, GError **error)
{
    return bottom_scan_get_first_device_id(p_id, error);
}

XVEK_EXPORT gboolean xvek_scan_print_info_device(guint32 id, gchar **pprint, GError **error)
{
    return bottom_scan_print_info_device(id, pprint, error);
}

} // extern "C"
