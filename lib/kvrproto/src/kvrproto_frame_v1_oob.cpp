/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameV1Oob: an out-of-band uplink frame, in which the device
// reports its supply voltages and temperature.
#include "kvrproto-private.h"

struct _KvrprotoFrameV1Oob {
    KvrprotoFrameV1 parent_instance;
};

namespace
{

enum { PROP_0, PROP_TEMPERATURE, PROP_VDD_TX, PROP_VDD_IDLE, N_PROPS };

GParamSpec *properties[N_PROPS];

// First of the two bytes (least significant first) of each report in the frame layout.
guint report_offset(guint prop_id)
{
    switch (prop_id) {
    case PROP_TEMPERATURE:
        return 11;
    case PROP_VDD_TX:
        return 9;
    default:
        return 7;
    }
}

} // namespace

G_DEFINE_TYPE(KvrprotoFrameV1Oob, kvrproto_frame_v1_oob, KVRPROTO_TYPE_FRAME_V1)

namespace
{

void kvrproto_frame_v1_oob_get_property(GObject *object, guint prop_id, GValue *value,
                                        GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_TEMPERATURE:
    case PROP_VDD_TX:
    case PROP_VDD_IDLE:
        if (frame->v == KVRPROTO_VERSION_V1) {
            const guint8 *report = frame->f.v1.data + report_offset(prop_id);
            g_value_set_uint(value, report[0] | guint{report[1]} << 8);
        }
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_v1_oob_class_init(KvrprotoFrameV1OobClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_v1_oob_get_property;

    constexpr auto kRead = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    properties[PROP_TEMPERATURE] =
        g_param_spec_uint("temperature", "Température", "Température", 0, 65535, 0, kRead);
    properties[PROP_VDD_TX] = g_param_spec_uint("vdd-tx", "Vdd Tx", "Vdd Tx", 0, 65535, 0, kRead);
    properties[PROP_VDD_IDLE] =
        g_param_spec_uint("vdd-idle", "Vdd Idle", "Vdd Idle", 0, 32767, 0, kRead);
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_v1_oob_init(KvrprotoFrameV1Oob *) {}

void kvrproto_frame_v1_oob_unref(KvrprotoFrameV1Oob *frame)
{
    kvrproto::frame_unref(frame);
}
