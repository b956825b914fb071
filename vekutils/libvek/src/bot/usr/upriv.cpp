/* Device-information query: this card interface has no request for it. */
#include "upriv.h"

gboolean bottom_private_info(sBottomPriv *b, VektypeStructDeviceInfo *info, GError **error)
{
    (void)b;
    (void)info;
    g_set_error(error, XVEK_ERROR, XVEK_ERR, "%s feature not currently supported", "Private info");
    return FALSE;
}
