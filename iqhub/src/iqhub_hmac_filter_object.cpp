/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* IqhubHmacFilter: drops current uplink frames whose authentication code is
 * wrong. One switch serves every instance of the process. */
#include "iqhub-private.h"
#include "iqhub_key.h"

struct _IqhubHmacFilter {
    GObject parent_instance;
};

namespace
{

std::atomic<gboolean> gMsgAuthe{TRUE};

gboolean filter_frame(IqhubIfilter *filter, kvrframe *frame)
{
    return iqhub_hmac_filter_do_filter(IQHUB_HMAC_FILTER(filter), frame);
}

void ifilter_init(IqhubIfilterInterface *iface)
{
    iface->do_filter = filter_frame;
}

} // namespace

G_DEFINE_FINAL_TYPE_WITH_CODE(IqhubHmacFilter, iqhub_hmac_filter, G_TYPE_OBJECT,
                              G_IMPLEMENT_INTERFACE(IQHUB_TYPE_IFILTER, ifilter_init))

static void iqhub_hmac_filter_class_init(IqhubHmacFilterClass *klass)
{
    (void)klass;
}

static void iqhub_hmac_filter_init(IqhubHmacFilter *self)
{
    (void)self;
}

extern "C" {

IQHUB_EXPORT IqhubHmacFilter *iqhub_hmac_filter_new(void)
{
    return IQHUB_HMAC_FILTER(g_object_new(IQHUB_TYPE_HMAC_FILTER, nullptr));
}

IQHUB_EXPORT void iqhub_hmac_filter_unref(IqhubHmacFilter *filter)
{
    g_return_if_fail(IQHUB_IS_HMAC_FILTER(filter));
    g_object_unref(filter);
}

IQHUB_EXPORT void iqhub_hmac_filter_set_auth(IqhubHmacFilter *filter, gboolean on)
{
    (void)filter;
    xvek_log(LOG_LEVEL_INFO,
             on ? "Message authentication  enabled" : "Message authentication  disabled");
    gMsgAuthe.store(on);
}

IQHUB_EXPORT gboolean iqhub_hmac_filter_do_filter(IqhubHmacFilter *filter, kvrframe *frame)
{
    (void)filter;
    g_return_val_if_fail(frame != nullptr, FALSE);
    if (!gMsgAuthe.load() || frame->v != KVRPROTO_VERSION_V1)
        return TRUE;
    guint8 key[IQHUB_AUTH_KEY_LEN];
    iqhub_auth_key(key);
    if (kvrproto_check_hmac(frame, key, sizeof(key), nullptr))
        return TRUE;
    xvek_log(LOG_LEVEL_INFO, "Receiving message with bad authentication (not public key)");
    return FALSE;
}

} // extern "C"
