/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameV1Dlk: a downlink frame the card is to transmit.
#include "kvrproto-private.h"
#include "property-values.h"

struct _KvrprotoFrameV1Dlk {
    KvrprotoFrameGen parent_instance;
};

namespace
{

enum { PROP_0, PROP_MODE, PROP_SLOT, PROP_POWER, PROP_SEQ, PROP_EXT, PROP_HMAC, N_PROPS };

GParamSpec *properties[N_PROPS];

} // namespace

G_DEFINE_TYPE(KvrprotoFrameV1Dlk, kvrproto_frame_v1_dlk, KVRPROTO_TYPE_FRAME_GEN)

using namespace kvrproto;

namespace
{

void kvrproto_frame_v1_dlk_get_property(GObject *object, guint prop_id, GValue *value,
                                        GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    if (frame->v != KVRPROTO_VERSION_V1_DLK) {
        if (prop_id == 0 || prop_id >= N_PROPS)
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    const kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
    switch (prop_id) {
    case PROP_MODE:
        g_value_set_uint(value, dlk->mode);
        break;
    case PROP_SLOT:
        g_value_set_double(value, dlk->slot);
        break;
    case PROP_POWER:
        g_value_set_double(value, dlk->power);
        break;
    case PROP_SEQ:
        g_value_set_uint(value, dlk->seq);
        break;
    case PROP_EXT:
        g_value_set_uint(value, dlk->ext);
        break;
    case PROP_HMAC:
        g_value_take_boxed(value, byte_array_new(dlk->hmac, sizeof(dlk->hmac)));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

void kvrproto_frame_v1_dlk_set_property(GObject *object, guint prop_id, const GValue *value,
                                        GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    if (frame->v != KVRPROTO_VERSION_V1_DLK) {
        if (prop_id == 0 || prop_id >= N_PROPS)
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
    switch (prop_id) {
    case PROP_MODE:
        dlk->mode = g_value_get_uint(value);
        break;
    case PROP_SLOT:
        dlk->slot = narrow_to_float(g_value_get_double(value));
        break;
    case PROP_POWER:
        dlk->power = narrow_to_float(g_value_get_double(value));
        break;
    case PROP_SEQ:
        dlk->seq = static_cast<guint16>(g_value_get_uint(value));
        break;
    case PROP_EXT:
        // The property holds the whole byte (0 to 255); only the TXDATA_V1
        // line parser reduces the number it reads to bit 0.
        dlk->ext = static_cast<guint8>(g_value_get_uint(value));
        break;
    case PROP_HMAC:
        memset(dlk->hmac, 0, sizeof(dlk->hmac));
        byte_array_copy_exact(dlk->hmac, sizeof(dlk->hmac),
                              static_cast<GArray *>(g_value_get_boxed(value)));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_v1_dlk_class_init(KvrprotoFrameV1DlkClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_v1_dlk_get_property;
    object_class->set_property = kvrproto_frame_v1_dlk_set_property;

    constexpr auto kReadWrite =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    properties[PROP_MODE] =
        g_param_spec_uint("mode", "Mode", "Mode", 0, G_MAXUINT32, 0, kReadWrite);
    properties[PROP_SLOT] =
        g_param_spec_double("slot", "Slot", "Slot", -G_MAXDOUBLE, G_MAXDOUBLE, 0, kReadWrite);
    properties[PROP_POWER] =
        g_param_spec_double("power", "Power", "Power", -G_MAXDOUBLE, G_MAXDOUBLE, 0, kReadWrite);
    properties[PROP_SEQ] = g_param_spec_uint("seq", "Seq", "Seq", 0, 4095, 0, kReadWrite);
    properties[PROP_EXT] = g_param_spec_uint("ext", "Ext", "Ext", 0, 255, 0, kReadWrite);
    properties[PROP_HMAC] = g_param_spec_boxed("hmac", "Hmac", "Hmac", G_TYPE_ARRAY, kReadWrite);
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_v1_dlk_init(KvrprotoFrameV1Dlk *self)
{
    kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(self))->v = KVRPROTO_VERSION_V1_DLK;
}

KvrprotoFrameV1Dlk *kvrproto_frame_v1_dlk_new(void)
{
    return KVRPROTO_FRAME_V1_DLK(g_object_new(KVRPROTO_TYPE_FRAME_V1_DLK, nullptr));
}

KvrprotoFrameV1Dlk *kvrproto_frame_v1_dlk_new_with_options(const gchar *first_property, ...)
{
    va_list args;
    va_start(args, first_property);
    GObject *object = frame_new_valist(KVRPROTO_TYPE_FRAME_V1_DLK, first_property, args);
    va_end(args);
    return KVRPROTO_FRAME_V1_DLK(object);
}

void kvrproto_frame_v1_dlk_unref(KvrprotoFrameV1Dlk *frame)
{
    frame_unref(frame);
}

gboolean kvrproto_frame_v1_dlk_compute_hmac(KvrprotoFrameV1Dlk *frame, const guint8 *key,
                                            guint8 key_length, guint8 *code, guint8 *code_length,
                                            GError **error)
{
    return frame_compute_code(frame, KVRPROTO_TYPE_FRAME_V1_DLK, __func__, key, key_length, code,
                              code_length, error);
}

gboolean kvrproto_frame_v1_dlk_update_hmac(KvrprotoFrameV1Dlk *frame, const guint8 *key,
                                           guint8 key_length, GError **error)
{
    return frame_update_code(frame, KVRPROTO_TYPE_FRAME_V1_DLK, __func__, key, key_length, error);
}
