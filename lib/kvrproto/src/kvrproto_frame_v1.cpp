/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameV1: a current uplink frame, whose data bytes hold the frame
// as the device sent it (header, payload, authentication code).
#include "kvrproto-private.h"
#include "property-values.h"

#include <algorithm>

namespace
{

enum {
    PROP_0,
    PROP_FRAME_SEQ,
    PROP_OOB,
    PROP_LENGTH,
    PROP_RAW,
    PROP_LG,
    PROP_RES,
    PROP_ACK,
    PROP_SEQ,
    PROP_HMAC,
    N_PROPS
};

GParamSpec *properties[N_PROPS];

// Bits of byte 0 of the frame layout.
constexpr guint kLgShift = 6;
constexpr guint kAckBit = 5;
constexpr guint kResBit = 4;

} // namespace

G_DEFINE_TYPE(KvrprotoFrameV1, kvrproto_frame_v1, KVRPROTO_TYPE_FRAME_UPLK)

using namespace kvrproto;

namespace
{

GArray *code_array(const kvrframe *frame)
{
    if (!payload_check(frame, nullptr))
        return byte_array_new(nullptr, 0);
    const Span span = v1_code_span(frame);
    return byte_array_new(frame->f.v1.data + span.offset, span.length);
}

void set_bit(guint8 &byte, guint bit, guint value)
{
    byte = static_cast<guint8>((byte & ~(1u << bit)) | ((value & 1u) << bit));
}

void kvrproto_frame_v1_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    if (frame->v != KVRPROTO_VERSION_V1) {
        if (prop_id == 0 || prop_id >= N_PROPS)
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    kvrframe_v1 *v1 = &frame->f.v1;
    const guint8 b0 = v1->data[0];
    switch (prop_id) {
    case PROP_FRAME_SEQ:
        g_value_set_uint(value, v1->seq);
        break;
    case PROP_OOB:
        g_value_set_uint(value, v1->oob);
        break;
    case PROP_LENGTH:
        g_value_set_uint(value, v1->frame_length);
        break;
    case PROP_RAW:
        // data_s of a foreign record may claim more than the 20 bytes there are.
        g_value_take_boxed(value,
                           byte_array_new(v1->data, std::min<guint>(v1->data_s, kV1DataSize)));
        break;
    case PROP_LG:
        g_value_set_uint(value, b0 >> kLgShift);
        break;
    case PROP_RES:
        g_value_set_uint(value, (b0 >> kResBit) & 1u);
        break;
    case PROP_ACK:
        g_value_set_uint(value, (b0 >> kAckBit) & 1u);
        break;
    case PROP_SEQ:
        g_value_set_uint(value, (b0 & 0xFu) << 8 | v1->data[1]);
        break;
    case PROP_HMAC:
        g_value_take_boxed(value, code_array(frame));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

void kvrproto_frame_v1_set_property(GObject *object, guint prop_id, const GValue *value,
                                    GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    if (frame->v != KVRPROTO_VERSION_V1) {
        if (prop_id == 0 || prop_id >= N_PROPS)
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    kvrframe_v1 *v1 = &frame->f.v1;
    guint8 &b0 = v1->data[0];
    switch (prop_id) {
    case PROP_FRAME_SEQ:
        v1->seq = static_cast<guint8>(g_value_get_uint(value));
        break;
    case PROP_OOB:
        v1->oob = static_cast<guint8>(g_value_get_uint(value));
        break;
    case PROP_LG:
        b0 = static_cast<guint8>((b0 & 0x3Fu) | (g_value_get_uint(value) & 3u) << kLgShift);
        break;
    case PROP_RES:
        set_bit(b0, kResBit, g_value_get_uint(value));
        break;
    case PROP_ACK:
        set_bit(b0, kAckBit, g_value_get_uint(value));
        break;
    case PROP_SEQ: {
        const guint seq = g_value_get_uint(value);
        b0 = static_cast<guint8>((b0 & 0xF0u) | ((seq >> 8) & 0xFu));
        v1->data[1] = static_cast<guint8>(seq);
        break;
    }
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_v1_class_init(KvrprotoFrameV1Class *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_v1_get_property;
    object_class->set_property = kvrproto_frame_v1_set_property;

    constexpr auto kRead = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    constexpr auto kReadWrite =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    properties[PROP_FRAME_SEQ] =
        g_param_spec_uint("frame-seq", "sequence frame", "sequence frame", 0, 3, 0, kReadWrite);
    properties[PROP_OOB] = g_param_spec_uint("oob", "Oob", "Oob", 0, 1, 0, kReadWrite);
    properties[PROP_LENGTH] = g_param_spec_uint("length", "Length", "Length", 0, 255, 0, kRead);
    properties[PROP_RAW] = g_param_spec_boxed("raw", "Raw", "Raw", G_TYPE_ARRAY, kRead);
    properties[PROP_LG] = g_param_spec_uint("lg", "LG", "LG", 0, 3, 0, kReadWrite);
    properties[PROP_RES] = g_param_spec_uint("res", "Res", "Res", 0, 1, 0, kReadWrite);
    properties[PROP_ACK] = g_param_spec_uint("ack", "Ack", "Ack", 0, 1, 0, kReadWrite);
    properties[PROP_SEQ] = g_param_spec_uint("seq", "Seq", "Seq", 0, 4095, 0, kReadWrite);
    properties[PROP_HMAC] = g_param_spec_boxed("hmac", "Hmac", "Hmac", G_TYPE_ARRAY, kRead);
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_v1_init(KvrprotoFrameV1 *self)
{
    kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(self))->v = KVRPROTO_VERSION_V1;
}

KvrprotoFrameV1 *kvrproto_frame_v1_new(void)
{
    return KVRPROTO_FRAME_V1(g_object_new(KVRPROTO_TYPE_FRAME_V1, nullptr));
}

KvrprotoFrameV1 *kvrproto_frame_v1_new_with_options(const gchar *first_property, ...)
{
    va_list args;
    va_start(args, first_property);
    GObject *object = frame_new_valist(KVRPROTO_TYPE_FRAME_V1, first_property, args);
    va_end(args);
    return KVRPROTO_FRAME_V1(object);
}

void kvrproto_frame_v1_unref(KvrprotoFrameV1 *frame)
{
    frame_unref(frame);
}

gboolean kvrproto_frame_v1_compute_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                        guint8 key_length, guint8 *code, guint8 *code_length,
                                        GError **error)
{
    return frame_compute_code(frame, KVRPROTO_TYPE_FRAME_V1, __func__, key, key_length, code,
                              code_length, error);
}

gboolean kvrproto_frame_v1_check_hmac(KvrprotoFrameV1 *frame, const guint8 *key, guint8 key_length,
                                      GError **error)
{
    return frame_check_code(frame, KVRPROTO_TYPE_FRAME_V1, __func__, key, key_length, error);
}

gboolean kvrproto_frame_v1_update_hmac(KvrprotoFrameV1 *frame, const guint8 *key, guint8 key_length,
                                       GError **error)
{
    return frame_update_code(frame, KVRPROTO_TYPE_FRAME_V1, __func__, key, key_length, error);
}
