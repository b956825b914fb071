/* SPDX-License-Identifier: LGPL-2.1-or-later */
// KvrprotoFrameGen: the base of the frame objects. It owns the record and
// maps the properties every layout shares; the conversions between lines,
// records and objects pick the class that fits the record's layout.
#include "kvrproto-private.h"
#include "property-values.h"
#include "scan.h"

#include <cstring>

namespace
{

struct KvrprotoFrameGenPrivate {
    kvrframe frame;
};

enum {
    PROP_0,
    PROP_VERSION,
    PROP_TID,
    PROP_DATA,
    PROP_DATA_SIZE,
    PROP_FREQUENCY,
    PROP_TIMESTAMP,
    N_PROPS
};

GParamSpec *properties[N_PROPS];

} // namespace

G_DEFINE_TYPE_WITH_PRIVATE(KvrprotoFrameGen, kvrproto_frame_gen, G_TYPE_OBJECT)

using namespace kvrproto;

kvrframe *kvrproto_frame_gen_record(KvrprotoFrameGen *frame)
{
    auto *priv =
        static_cast<KvrprotoFrameGenPrivate *>(kvrproto_frame_gen_get_instance_private(frame));
    return &priv->frame;
}

namespace
{

// Where the record of each layout keeps the shared fields.
gfloat *freq_field(kvrframe *frame)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return &frame->f.v0.freq;
    case KVRPROTO_VERSION_V1:
        return &frame->f.v1.freq;
    case KVRPROTO_VERSION_V1_DLK:
        return &frame->f.v1dlk.freq;
    default:
        return nullptr;
    }
}

gint64 *timestamp_field(kvrframe *frame)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return &frame->f.v0.timestamp;
    case KVRPROTO_VERSION_V1:
        return &frame->f.v1.timestamp;
    case KVRPROTO_VERSION_V1_DLK:
        return &frame->f.v1dlk.timestamp;
    default:
        return nullptr;
    }
}

const guint8 *data_size_field(const kvrframe *frame)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return &frame->f.v0.data_s;
    case KVRPROTO_VERSION_V1:
        return &frame->f.v1.data_s;
    case KVRPROTO_VERSION_V1_DLK:
        return &frame->f.v1dlk.data_s;
    default:
        return nullptr;
    }
}

void get_tid(kvrframe *frame, GValue *value)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
    case KVRPROTO_VERSION_V1:
        g_value_set_uint(value, kvrproto_get_tstid(frame, nullptr));
        break;
    case KVRPROTO_VERSION_V1_DLK:
        g_value_set_uint(value, frame->f.v1dlk.tid);
        break;
    default:
        break;
    }
}

void set_tid(kvrframe *frame, guint tid)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        frame->f.v0.tid = static_cast<guint16>(tid);
        break;
    case KVRPROTO_VERSION_V1:
        for (guint i = 0; i < 4; ++i)
            frame->f.v1.data[2 + i] = static_cast<guint8>(tid >> (8 * i));
        break;
    case KVRPROTO_VERSION_V1_DLK:
        frame->f.v1dlk.tid = tid;
        break;
    default:
        break;
    }
}

void get_data(kvrframe *frame, GValue *value)
{
    if (!data_size_field(frame))
        return;
    guint8 payload[kV1PayloadMax];
    guint8 length = 0;
    // An incoherent record reads as an empty payload.
    payload_read(frame, payload, &length, nullptr);
    g_value_take_boxed(value, byte_array_new(payload, length));
}

void kvrproto_frame_gen_get_property(GObject *object, guint prop_id, GValue *value,
                                     GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_VERSION:
        g_value_set_uint(value, frame->v);
        break;
    case PROP_TID:
        get_tid(frame, value);
        break;
    case PROP_DATA:
        get_data(frame, value);
        break;
    case PROP_DATA_SIZE:
        if (const guint8 *data_s = data_size_field(frame))
            g_value_set_uint(value, *data_s);
        break;
    case PROP_FREQUENCY:
        if (const gfloat *freq = freq_field(frame))
            g_value_set_double(value, *freq);
        break;
    case PROP_TIMESTAMP:
        if (const gint64 *timestamp = timestamp_field(frame))
            g_value_set_double(value, static_cast<gdouble>(*timestamp));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

void kvrproto_frame_gen_set_property(GObject *object, guint prop_id, const GValue *value,
                                     GParamSpec *pspec)
{
    kvrframe *frame = kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(object));
    switch (prop_id) {
    case PROP_TID:
        set_tid(frame, g_value_get_uint(value));
        break;
    case PROP_FREQUENCY:
        if (gfloat *freq = freq_field(frame))
            *freq = narrow_to_float(g_value_get_double(value));
        break;
    case PROP_TIMESTAMP:
        if (gint64 *timestamp = timestamp_field(frame))
            *timestamp = truncate_to_int64(g_value_get_double(value));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

} // namespace

static void kvrproto_frame_gen_class_init(KvrprotoFrameGenClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->get_property = kvrproto_frame_gen_get_property;
    object_class->set_property = kvrproto_frame_gen_set_property;

    constexpr auto kRead = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    constexpr auto kReadWrite =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    properties[PROP_VERSION] = g_param_spec_uint("version", "Frame version", "Frame version", 1,
                                                 0x42, KVRPROTO_VERSION_V1, kRead);
    properties[PROP_TID] =
        g_param_spec_uint("tid", "TST ID", "TST ID", 0, G_MAXUINT32, 0, kReadWrite);
    properties[PROP_DATA] =
        g_param_spec_boxed("data", "Data payload", "Data payload", G_TYPE_ARRAY, kRead);
    properties[PROP_DATA_SIZE] =
        g_param_spec_uint("data-size", "Data size", "Data size", 0, 255, 0, kRead);
    properties[PROP_FREQUENCY] = g_param_spec_double("frequency", "Frequency", "Frequency",
                                                     -G_MAXDOUBLE, G_MAXDOUBLE, 0, kReadWrite);
    properties[PROP_TIMESTAMP] =
        g_param_spec_double("timestamp", "Timestamp", "Timestamp", 0, G_MAXDOUBLE, 0, kReadWrite);
    g_object_class_install_properties(object_class, N_PROPS, properties);
}

static void kvrproto_frame_gen_init(KvrprotoFrameGen *)
{
    // The private record starts zero-filled; the leaf classes set its layout tag.
}

namespace
{

GType class_for_record(const kvrframe *record)
{
    switch (record->v) {
    case KVRPROTO_VERSION_V0:
        return KVRPROTO_TYPE_FRAME_V0;
    case KVRPROTO_VERSION_V1:
        return record->f.v1.oob == 1 ? KVRPROTO_TYPE_FRAME_V1_OOB : KVRPROTO_TYPE_FRAME_V1;
    case KVRPROTO_VERSION_V1_DLK:
        return KVRPROTO_TYPE_FRAME_V1_DLK;
    default:
        return G_TYPE_INVALID;
    }
}

} // namespace

KvrprotoFrameGen *kvrproto_parse(const gchar *line, GError **error)
{
    // Numbers are read with the "C" conventions by the parsers themselves:
    // the host's locale is left as it is.
    if (!line) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    kvrframe *parsed = nullptr;
    if (starts_with(line, "FDATA ") || starts_with(line, "FDATA_V1 ")) {
        if (!kvrproto_fdata_parse(line, &parsed, error))
            return nullptr;
    } else if (starts_with(line, "TXDATA_V1 ")) {
        if (!kvrproto_txdata_parse(line, &parsed, error))
            return nullptr;
    } else {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "unknown FDATA/TXDATA header: %s", line);
        return nullptr;
    }
    FramePtr record(parsed);
    return kvrproto_frame_from_struct(record.get(), error);
}

gchar *kvrproto_frame_gen_to_string(KvrprotoFrameGen *frame, GError **error)
{
    if (!KVRPROTO_IS_FRAME_GEN(frame)) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    return kvrproto_to_string(kvrproto_frame_gen_record(frame), error);
}

gboolean kvrproto_frame_gen_set_payload(KvrprotoFrameGen *frame, const guint8 *payload,
                                        guint8 length, GError **error)
{
    if (!KVRPROTO_IS_FRAME_GEN(frame)) {
        set_invalid_handle(error, __func__);
        return FALSE;
    }
    return payload_store(kvrproto_frame_gen_record(frame), payload, length, __func__, error);
}

gboolean kvrproto_frame_gen_get_payload(KvrprotoFrameGen *frame, guint8 *payload, guint8 *length,
                                        GError **error)
{
    if (length)
        *length = 0;
    if (!KVRPROTO_IS_FRAME_GEN(frame) || !payload || !length)
        return FALSE;
    return payload_read(kvrproto_frame_gen_record(frame), payload, length, error);
}

kvrframe *kvrproto_frame_to_struct(KvrprotoFrameGen *frame)
{
    if (!KVRPROTO_IS_FRAME_GEN(frame))
        return nullptr;
    kvrframe *copy = kvrproto_alloc_frame();
    if (copy)
        *copy = *kvrproto_frame_gen_record(frame);
    return copy;
}

KvrprotoFrameGen *kvrproto_frame_from_struct(const kvrframe *record, GError **error)
{
    if (!record) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    const GType type = class_for_record(record);
    if (type == G_TYPE_INVALID) {
        set_unsupported_version(error, record->v);
        return nullptr;
    }
    auto *frame = KVRPROTO_FRAME_GEN(g_object_new(type, nullptr));
    *kvrproto_frame_gen_record(frame) = *record;
    return frame;
}

gboolean kvrproto_frame_gen_copy(KvrprotoFrameGen *frame, KvrprotoFrameGen **copy, GError **error)
{
    if (copy)
        *copy = nullptr;
    if (!KVRPROTO_IS_FRAME_GEN(frame) || !copy) {
        set_invalid_handle(error, __func__);
        return FALSE;
    }
    *copy = kvrproto_frame_from_struct(kvrproto_frame_gen_record(frame), error);
    return *copy != nullptr;
}

void kvrproto_frame_gen_unref(KvrprotoFrameGen *frame)
{
    frame_unref(frame);
}

namespace
{

kvrframe *checked_record(gpointer frame, GType type, const char *function, GError **error)
{
    if (!G_TYPE_CHECK_INSTANCE_TYPE(frame, type)) {
        set_invalid_handle(error, function);
        return nullptr;
    }
    return kvrproto_frame_gen_record(KVRPROTO_FRAME_GEN(frame));
}

} // namespace

GObject *kvrproto::frame_new_valist(GType type, const gchar *first_property, va_list args)
{
    return g_object_new_valist(type, first_property, args);
}

void kvrproto::frame_unref(gpointer frame)
{
    if (frame)
        g_object_unref(frame);
}

gboolean kvrproto::frame_compute_code(gpointer frame, GType type, const char *function,
                                      const guint8 *key, guint8 key_length, guint8 *code,
                                      guint8 *code_length, GError **error)
{
    const kvrframe *record = checked_record(frame, type, function, error);
    return record && kvrproto_compute_hmac(record, key, key_length, code, code_length, error);
}

gboolean kvrproto::frame_check_code(gpointer frame, GType type, const char *function,
                                    const guint8 *key, guint8 key_length, GError **error)
{
    const kvrframe *record = checked_record(frame, type, function, error);
    return record && kvrproto_check_hmac(record, key, key_length, error);
}

gboolean kvrproto::frame_update_code(gpointer frame, GType type, const char *function,
                                     const guint8 *key, guint8 key_length, GError **error)
{
    kvrframe *record = checked_record(frame, type, function, error);
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    if (!record || !kvrproto_compute_hmac(record, key, key_length, code, &code_length, error))
        return FALSE;
    // The code was computed, so the record passed the payload check and its
    // code lies inside the record.
    memcpy(code_bytes(record), code, code_length);
    return TRUE;
}
