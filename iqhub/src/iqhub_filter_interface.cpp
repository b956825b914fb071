/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* IqhubIfilter: the interface every frame filter implements. */
#include "iqhub-private.h"

G_DEFINE_INTERFACE(IqhubIfilter, iqhub_ifilter, G_TYPE_OBJECT)

static void iqhub_ifilter_default_init(IqhubIfilterInterface *iface)
{
    (void)iface;
}

extern "C" {

IQHUB_EXPORT gboolean iqhub_ifilter_do_filter(IqhubIfilter *self, kvrframe *frame)
{
    // clang-format off
    g_return_val_if_fail(IQHUB_IS_IFILTER (self), TRUE);
    // clang-format on
    IqhubIfilterInterface *iface = IQHUB_IFILTER_GET_IFACE(self);
    if (iface->do_filter == nullptr)
        return TRUE;
    return iface->do_filter(self, frame);
}

} // extern "C"
