/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Text forms of the demodulator's records: a frame as the FDATA_V1 line that
 * the frame chain parses back, an error record as a log line. */
#include <algorithm>
#include <cstring>

#include "iqhub-private.h"

namespace
{

/* The line's longest form fits with room to spare. */
constexpr gsize kLineSize = 1024;

/* "%4.2f" with a decimal point whatever the locale: the parser on the other
 * side reads a point. */
const gchar *format_2f(gchar (&buffer)[G_ASCII_DTOSTR_BUF_SIZE], gfloat value)
{
    return g_ascii_formatd(buffer, sizeof(buffer), "%4.2f", static_cast<gdouble>(value));
}

} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_stringify_fdata(gchar **out, const vdem_proto_frame_t *frame,
                                            gboolean no_crc, GError **error)
{
    if (out == nullptr || frame == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "pretty printer null ptr");
        return FALSE;
    }
    static const gchar digits[] = "0123456789abcdef";
    const gsize length = std::min<gsize>(frame->length, sizeof(frame->frame));
    gchar payload[2 * sizeof(frame->frame) + 1];
    for (gsize i = 0; i < length; ++i) {
        payload[2 * i] = digits[frame->frame[i] >> 4];
        payload[2 * i + 1] = digits[frame->frame[i] & 0x0f];
    }
    payload[2 * length] = '\0';

    gchar snr[G_ASCII_DTOSTR_BUF_SIZE];
    gchar rssi[G_ASCII_DTOSTR_BUF_SIZE];
    gchar *text = static_cast<gchar *>(g_malloc0(kLineSize));
    g_snprintf(text, kLineSize,
               "FDATA_V1 %d %d %d %s %" G_GINT32_FORMAT " %" G_GINT32_FORMAT " %s %s",
               frame->f.v1.seq, frame->length + (no_crc ? 4 : 6), frame->f.v1.oob, payload,
               frame->sampleTimeStamp, frame->freq, format_2f(snr, frame->snr),
               format_2f(rssi, frame->rssi));
    *out = text;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_stringify_error(gchar **out, const vdem_error_t *record, GError **error)
{
    if (out == nullptr || record == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "pretty printer null ptr");
        return FALSE;
    }
    /* The message field need not hold its NUL. */
    *out =
        g_strdup_printf("Error: %02x :: Msg: %.*s", record->type,
                        static_cast<int>(strnlen(record->msg, sizeof(record->msg))), record->msg);
    return TRUE;
}

} // extern "C"
