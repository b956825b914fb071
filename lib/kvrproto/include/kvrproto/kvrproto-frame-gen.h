/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <glib-object.h>
#include <kvrproto/kvrproto-export.h>
#include <kvrproto/kvrproto-frame.h>

G_BEGIN_DECLS

/* Base of the frame objects: owns one kvrframe record whose layout tag the
 * leaf class sets. Properties: "version", "tid", "data", "data-size",
 * "frequency", "timestamp". */
#define KVRPROTO_TYPE_FRAME_GEN (kvrproto_frame_gen_get_type())
KVRPROTO_EXPORT G_DECLARE_DERIVABLE_TYPE(KvrprotoFrameGen, kvrproto_frame_gen, KVRPROTO, FRAME_GEN,
                                         GObject)

struct _KvrprotoFrameGenClass {
    GObjectClass parent_class;
    gpointer padding[8];
};

/**
 * kvrproto_parse:
 * @line: an FDATA, FDATA_V1 or TXDATA_V1 line
 * @error: the reason a line is refused
 *
 * Returns: (transfer full): a new object of the class that fits @line
 */
KVRPROTO_EXPORT KvrprotoFrameGen *kvrproto_parse(const gchar *line, GError **error);

KVRPROTO_EXPORT gchar *kvrproto_frame_gen_to_string(KvrprotoFrameGen *frame, GError **error);

/**
 * kvrproto_frame_gen_set_payload:
 * @frame: a frame
 * @payload: (array length=length): the payload
 * @length: its length in bytes
 * @error: the reason a payload is refused
 *
 * Stores @length payload bytes following the rules of the object's layout.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_gen_set_payload(KvrprotoFrameGen *frame,
                                                        const guint8 *payload, guint8 length,
                                                        GError **error);
/**
 * kvrproto_frame_gen_get_payload:
 * @frame: a frame
 * @payload: (out caller-allocates) (array fixed-size=12): room for 12 bytes,
 *   which receives the payload
 * @length: (out): the payload's length, at most 12
 * @error: the reason of a failure
 *
 * Copies the payload into @payload.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_gen_get_payload(KvrprotoFrameGen *frame, guint8 *payload,
                                                        guint8 *length, GError **error);

/**
 * kvrproto_frame_to_struct: (skip)
 *
 * A new record (free with kvrproto_free_frame()) holding a copy of the object's record.
 */
KVRPROTO_EXPORT kvrframe *kvrproto_frame_to_struct(KvrprotoFrameGen *frame);
/**
 * kvrproto_frame_from_struct: (skip)
 *
 * A new object of the class that fits the record's layout, holding a copy of it.
 */
KVRPROTO_EXPORT KvrprotoFrameGen *kvrproto_frame_from_struct(const kvrframe *record,
                                                             GError **error);
/**
 * kvrproto_frame_gen_copy:
 * @frame: a frame
 * @copy: (out) (transfer full): a new object of the same class holding a copy
 *   of the record
 * @error: the reason of a failure
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_gen_copy(KvrprotoFrameGen *frame, KvrprotoFrameGen **copy,
                                                 GError **error);

KVRPROTO_EXPORT void kvrproto_frame_gen_unref(KvrprotoFrameGen *frame);

G_END_DECLS
