/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameUplk: the measurements every uplink frame carries, and the bit
// rate and combined repetitions the current layout records.
#include "kvrproto-private.h"
#include "property-values.h"

namespace
{

enum { PROP_0, PROP_SNR, PROP_RSSI, PROP_BIT_RATE, PROP_COMBINED, N_PROPS };

GParamSpec *properties[N_PROPS];

} // namespace

G_DEFINE_TYPE(KvrprotoFrameUplk, kvrproto_frame_uplk, KVRPROTO_TYPE_FRAME_GEN)

using namespace kvrproto;

namespace
{

gfloat *measurement_field(kvrframe *frame, guint prop_id)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return prop_id == PROP_SNR ? &frame->f.v0.snr : &frame->f.v0.rssi;
    case KVRPROTO_VERSION_V1:
        return prop_id == PROP_SNR ? &frame->f.v1.snr : &frame->f.v1.rssi;
    default:
        return nullptr;
    }
}

void kvrproto_frame_uplk_get_property(GObject *object, guint prop_id, GValue *value,
                                      GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_SNR:
    case PROP_RSSI:
        if (const gfloat *field = measurement_field(frame, prop_id))
            g_value_set_double(value, *field);
        break;
    case PROP_BIT_RATE:
        /* The first version's record has no room for it. */
        if (frame->v == KVRPROTO_VERSION_V1)
            g_value_set_uint(value, frame->f.v1.bit_rate);
        break;
    case PROP_COMBINED:
        if (frame->v == KVRPROTO_VERSION_V1)
            g_value_set_uint(value, frame->combined);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

void kvrproto_frame_uplk_set_property(GObject *object, guint prop_id, const GValue *value,
                                      GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_SNR:
    case PROP_RSSI:
        if (gfloat *field = measurement_field(frame, prop_id))
            *field = narrow_to_float(g_value_get_double(value));
        break;
    case PROP_BIT_RATE:
        if (frame->v == KVRPROTO_VERSION_V1)
            frame->f.v1.bit_rate = g_value_get_uint(value);
        break;
    case PROP_COMBINED:
        if (frame->v == KVRPROTO_VERSION_V1)
            frame->combined = static_cast<guint8>(g_value_get_uint(value));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_uplk_class_init(KvrprotoFrameUplkClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_uplk_get_property;
    object_class->set_property = kvrproto_frame_uplk_set_property;

    constexpr auto kReadWrite =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    properties[PROP_SNR] =
        g_param_spec_double("snr", "SNR", "SNR", -G_MAXDOUBLE, G_MAXDOUBLE, 0, kReadWrite);
    properties[PROP_RSSI] =
        g_param_spec_double("rssi", "Rssi", "Rssi", -G_MAXDOUBLE, G_MAXDOUBLE, 0, kReadWrite);
    properties[PROP_BIT_RATE] =
        g_param_spec_uint("bit-rate", "Bit rate", "Bit rate", 0, G_MAXUINT, 0, kReadWrite);
    properties[PROP_COMBINED] =
        g_param_spec_uint("combined", "Combined", "Combined", 0, 7, 0, kReadWrite);
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_uplk_init(KvrprotoFrameUplk *) {}
