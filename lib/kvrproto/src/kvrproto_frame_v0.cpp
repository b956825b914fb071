/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameV0: a first-version uplink frame.
#include "kvrproto-private.h"

struct _KvrprotoFrameV0 {
    KvrprotoFrameUplk parent_instance;
};

namespace
{

enum { PROP_0, PROP_PH, N_PROPS };

GParamSpec *properties[N_PROPS];

} // namespace

G_DEFINE_TYPE(KvrprotoFrameV0, kvrproto_frame_v0, KVRPROTO_TYPE_FRAME_UPLK)

namespace
{

void kvrproto_frame_v0_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_PH:
        if (frame->v == KVRPROTO_VERSION_V0)
            g_value_set_uint(value, frame->f.v0.ph);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_v0_class_init(KvrprotoFrameV0Class *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_v0_get_property;

    properties[PROP_PH] =
        g_param_spec_uint("ph", "Protocol header", "Protocol header", 0, 255, 0,
                          static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_v0_init(KvrprotoFrameV0 *self)
{
    kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(self))->v = KVRPROTO_VERSION_V0;
}

KvrprotoFrameV0 *kvrproto_frame_v0_new(void)
{
    return KVRPROTO_FRAME_V0(g_object_new(KVRPROTO_TYPE_FRAME_V0, nullptr));
}

KvrprotoFrameV0 *kvrproto_frame_v0_new_with_options(const gchar *first_property, ...)
{
    va_list args;
    va_start(args, first_property);
    GObject *object = kvrproto::frame_new_valist(KVRPROTO_TYPE_FRAME_V0, first_property, args);
    va_end(args);
    return KVRPROTO_FRAME_V0(object);
}

void kvrproto_frame_v0_unref(KvrprotoFrameV0 *frame)
{
    kvrproto::frame_unref(frame);
}
