/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Uplink frames: type table, CRC, coding, bit sequence and the frame text form. */
#include "vekgen/vekgen.h"
#include "vekgen-impair-chain.h"
#include "vekgen-text.h"

#include <cerrno>
#include <cmath>
#include <cstring>

G_DEFINE_QUARK(vekgen - error - quark, vekgen_error)

namespace
{

constexpr VekgenFrameType kFrameTypes[VEKGEN_N_FRAME_TYPES] = {
    {0x06B, 8, 1, FALSE},  {0x6E0, 8, 2, FALSE},  {0x034, 8, 3, FALSE},  {0x08D, 9, 1, FALSE},
    {0x0D2, 9, 2, FALSE},  {0x302, 9, 3, FALSE},  {0x35F, 12, 1, FALSE}, {0x598, 12, 2, FALSE},
    {0x5A3, 12, 3, FALSE}, {0x611, 16, 1, FALSE}, {0x6BF, 16, 2, FALSE}, {0x72C, 16, 3, FALSE},
    {0x94C, 20, 1, FALSE}, {0x971, 20, 2, FALSE}, {0x997, 20, 3, FALSE}, {0xF67, 16, 1, TRUE},
    {0xFC9, 16, 2, TRUE},  {0x11BE, 16, 3, TRUE},
};

constexpr guint kPatternBits = 13;
constexpr guint kPreambleBits = 20;
constexpr guint8 kLockBits[] = {1, 1, 0, 0, 1, 1, 1};

bool parse_bool(const gchar *value, gboolean *out)
{
    if (g_str_equal(value, "0") || g_str_equal(value, "no") || g_str_equal(value, "false")) {
        *out = FALSE;
        return true;
    }
    if (g_str_equal(value, "1") || g_str_equal(value, "yes") || g_str_equal(value, "true")) {
        *out = TRUE;
        return true;
    }
    return false;
}

bool parse_double(const gchar *value, gdouble *out)
{
    gchar *end = nullptr;
    errno = 0;
    gdouble v = g_ascii_strtod(value, &end);
    if (end == value || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

template <typename T> bool parse_uint(const gchar *value, guint64 min, guint64 max, T *out)
{
    guint64 v = 0;
    if (!g_ascii_string_to_unsigned(value, 10, min, max, &v, nullptr))
        return false;
    *out = static_cast<T>(v);
    return true;
}

bool parse_hex_bytes(const gchar *value, guint8 *out, gsize *n_out)
{
    gsize len = strlen(value);
    if (len % 2 != 0 || len / 2 > VEKGEN_MAX_COVERED)
        return false;
    for (gsize i = 0; i < len / 2; i++) {
        gint hi = g_ascii_xdigit_value(value[2 * i]);
        gint lo = g_ascii_xdigit_value(value[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<guint8>(hi * 16 + lo);
    }
    *n_out = len / 2;
    return true;
}

/* Decimal, or hexadecimal after "0x". */
bool parse_device_id(const gchar *value, guint32 *out)
{
    guint64 v = 0;
    const bool hex = g_str_has_prefix(value, "0x");
    if (!g_ascii_string_to_unsigned(value, hex ? 16 : 10, 0, G_MAXUINT32, &v, nullptr) &&
        !(hex && g_ascii_string_to_unsigned(value + 2, 16, 0, G_MAXUINT32, &v, nullptr)))
        return false;
    *out = static_cast<guint32>(v);
    return true;
}

/* A frame text as its keys are read: the fields they set directly, and what
 * decides the start, bytes and phase once every key has been seen. */
struct FrameText {
    VekgenFrame frame;
    bool start_in_seconds = false; /* at= came after any sample= */
    gdouble at_seconds = 0.0;
    bool have_len = false;
    bool have_bytes = false; /* bytes=HEX rather than random */
    guint8 bytes[VEKGEN_MAX_COVERED] = {};
    gsize n_bytes = 0;
    bool have_phase = false;
    bool have_device = false; /* a signed uplink message */
    guint32 device_id = 0;
    guint16 seq = 0;
    guint8 payload[VEKGEN_MAX_COVERED] = {};
    gsize n_payload = 0;
    gboolean forge = FALSE;
};

/* Every frame key with the parser that reads its value into its target;
 * FALSE for a bad value. */
struct FrameKey {
    const gchar *name;
    bool (*parse)(const gchar *value, FrameText *t);
};

constexpr FrameKey kFrameKeys[] = {
    {"at",
     [](const gchar *v, FrameText *t) {
         t->start_in_seconds = true;
         return parse_double(v, &t->at_seconds) && t->at_seconds >= 0.0 && t->at_seconds < 1e7;
     }},
    {"sample",
     [](const gchar *v, FrameText *t) {
         t->start_in_seconds = false;
         return parse_uint(v, 0, G_MAXUINT64 / 4, &t->frame.start_sample);
     }},
    {"rate",
     [](const gchar *v, FrameText *t) {
         return parse_uint(v, 0, 1000, &t->frame.bit_rate) &&
                vekgen_samples_per_bit(t->frame.bit_rate) != 0;
     }},
    {"len",
     [](const gchar *v, FrameText *t) {
         t->have_len = true;
         return parse_uint(v, 0, VEKGEN_MAX_COVERED, &t->frame.covered_len);
     }},
    {"rep", [](const gchar *v, FrameText *t) { return parse_uint(v, 1, 3, &t->frame.repetition); }},
    {"oob", [](const gchar *v, FrameText *t) { return parse_bool(v, &t->frame.oob); }},
    {"freq", [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.offset_hz); }},
    {"power", [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.power_db); }},
    {"bytes",
     [](const gchar *v, FrameText *t) {
         t->have_bytes = !g_str_equal(v, "random");
         return !t->have_bytes || parse_hex_bytes(v, t->bytes, &t->n_bytes);
     }},
    {"inv", [](const gchar *v, FrameText *t) { return parse_bool(v, &t->frame.inverted); }},
    {"phase",
     [](const gchar *v, FrameText *t) {
         t->have_phase = true;
         return parse_double(v, &t->frame.phase);
     }},
    {"dev",
     [](const gchar *v, FrameText *t) {
         t->have_device = true;
         return parse_device_id(v, &t->device_id);
     }},
    {"seq", [](const gchar *v, FrameText *t) { return parse_uint(v, 0, 4095, &t->seq); }},
    {"payload",
     [](const gchar *v, FrameText *t) {
         return parse_hex_bytes(v, t->payload, &t->n_payload) && t->n_payload <= VEKGEN_MAX_PAYLOAD;
     }},
    {"forge", [](const gchar *v, FrameText *t) { return parse_bool(v, &t->forge); }},
    /* The device's errors (impair.cpp checks their ranges). */
    {"drift",
     [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.drift_hz_per_s); }},
    {"step", [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.step_hz); }},
    {"step-at", [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.step_at); }},
    {"ppm", [](const gchar *v, FrameText *t) { return parse_double(v, &t->frame.clock_ppm); }},
};

const FrameKey *find_frame_key(const gchar *name)
{
    for (const FrameKey &key : kFrameKeys)
        if (g_str_equal(key.name, name))
            return &key;
    return nullptr;
}

/* Puts the frame together once every key has been read: start, covered bytes
 * (signed message, given or random) and phase. */
gboolean finish_frame(FrameText *t, GRand *rand, GError **error)
{
    VekgenFrame *f = &t->frame;
    if (t->start_in_seconds)
        f->start_sample = static_cast<guint64>(std::llround(t->at_seconds * VEKGEN_SAMPLE_RATE));
    if (t->have_device) {
        if (t->have_bytes || t->have_len) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                        "dev= lays out the bytes itself: give payload= instead of len= or bytes=");
            return FALSE;
        }
        if (!vekgen_frame_set_uplink(f, t->device_id, t->seq, t->payload, t->n_payload, t->forge,
                                     error))
            return FALSE;
    } else if (t->have_bytes) {
        if (t->n_bytes != f->covered_len) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                        "bytes= gives %zu bytes for a frame of %u covered bytes", t->n_bytes,
                        f->covered_len);
            return FALSE;
        }
        memcpy(f->bytes, t->bytes, t->n_bytes);
    } else {
        for (guint i = 0; i < f->covered_len; i++)
            f->bytes[i] = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
    }
    if (!t->have_phase)
        f->phase = g_rand_double_range(rand, -G_PI, G_PI);
    return vekgen_frame_check(f, error);
}

} // namespace

const VekgenFrameType *vekgen_frame_types(guint *n_types)
{
    if (n_types != nullptr)
        *n_types = VEKGEN_N_FRAME_TYPES;
    return kFrameTypes;
}

const VekgenFrameType *vekgen_frame_type_find(guint covered_len, guint repetition, gboolean oob)
{
    for (const auto &row : kFrameTypes) {
        if (row.covered_len == covered_len && row.repetition == repetition &&
            (row.oob != FALSE) == (oob != FALSE))
            return &row;
    }
    return nullptr;
}

void vekgen_frame_init(VekgenFrame *frame)
{
    *frame = VekgenFrame{};
    frame->covered_len = 8;
    frame->repetition = 1;
    frame->power_db = 60.0;
    frame->bit_rate = 100;
    frame->drift_hz_per_s = frame->step_hz = frame->step_at = frame->clock_ppm = NAN;
}

const VekgenFrameType *vekgen_frame_get_type(const VekgenFrame *frame)
{
    return vekgen_frame_type_find(frame->covered_len, frame->repetition, frame->oob);
}

void vekgen_frame_set_type(VekgenFrame *frame, const VekgenFrameType *type)
{
    frame->covered_len = type->covered_len;
    frame->repetition = type->repetition;
    frame->oob = type->oob;
}

gboolean vekgen_frame_check(const VekgenFrame *frame, GError **error)
{
    if (vekgen_frame_get_type(frame) == nullptr) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "no frame type with %u covered bytes, repetition %u%s", frame->covered_len,
                    frame->repetition, frame->oob ? ", out of band" : "");
        return FALSE;
    }
    if (vekgen_samples_per_bit(frame->bit_rate) == 0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID, "bit rate %u is not 100 or 600",
                    frame->bit_rate);
        return FALSE;
    }
    if (!std::isfinite(frame->offset_hz) || std::fabs(frame->offset_hz) > VEKGEN_SAMPLE_RATE / 2) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "carrier offset %g Hz is outside -96000 to 96000", frame->offset_hz);
        return FALSE;
    }
    if (!std::isfinite(frame->power_db) || frame->power_db > 120.0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "power %g dB is not a finite level up to 120 dB", frame->power_db);
        return FALSE;
    }
    if (!std::isfinite(frame->phase)) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID, "carrier phase is not finite");
        return FALSE;
    }
    if (!vekgen::check_device_errors(frame, error))
        return FALSE;
    guint64 last = frame->start_sample + static_cast<guint64>(vekgen_frame_symbols(frame)) *
                                             vekgen_samples_per_bit(frame->bit_rate);
    if (frame->start_sample > G_MAXUINT64 / 2 || last < frame->start_sample) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID, "start sample is out of range");
        return FALSE;
    }
    return TRUE;
}

guint vekgen_samples_per_bit(guint bit_rate)
{
    switch (bit_rate) {
    case 100:
        return VEKGEN_SAMPLE_RATE / 100;
    case 600:
        return VEKGEN_SAMPLE_RATE / 600;
    default:
        return 0;
    }
}

guint vekgen_frame_symbols(const VekgenFrame *frame)
{
    return 1 + VEKGEN_HEADER_BITS + 8u * (frame->covered_len + 2u);
}

guint64 vekgen_frame_end_sample(const VekgenFrame *frame)
{
    return frame->start_sample + static_cast<guint64>(vekgen_frame_symbols(frame)) *
                                     vekgen_samples_per_bit(frame->bit_rate);
}

guint64 vekgen_frame_tail_end_sample(const VekgenFrame *frame)
{
    return frame->start_sample + static_cast<guint64>(VEKGEN_FRAME_SPACING_BITS) *
                                     vekgen_samples_per_bit(frame->bit_rate);
}

guint16 vekgen_crc16(const guint8 *data, gsize len)
{
    guint16 crc = 0;
    for (gsize i = 0; i < len; i++) {
        crc ^= static_cast<guint16>(data[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? static_cast<guint16>((crc << 1) ^ 0x1021)
                                 : static_cast<guint16>(crc << 1);
    }
    return static_cast<guint16>(~crc);
}

void vekgen_frame_message(const VekgenFrame *frame, guint8 out[VEKGEN_MAX_COVERED + 2])
{
    guint len = MIN(frame->covered_len, VEKGEN_MAX_COVERED);
    memcpy(out, frame->bytes, len);
    guint16 crc = vekgen_crc16(frame->bytes, len);
    out[len] = static_cast<guint8>(crc >> 8);
    out[len + 1] = static_cast<guint8>(crc & 0xff);
}

void vekgen_frame_coded(const VekgenFrame *frame, guint8 out[VEKGEN_MAX_COVERED + 2])
{
    guint8 message[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_message(frame, message);
    guint n = MIN(frame->covered_len, VEKGEN_MAX_COVERED) + 2u;
    guint o1 = 0, o2 = 0; /* o(n-1), o(n-2) */
    for (guint i = 0; i < n; i++) {
        guint8 coded = 0;
        for (int b = 7; b >= 0; b--) {
            guint o = (message[i] >> b) & 1u;
            guint c = o;
            if (frame->repetition == 2)
                c = o ^ o1 ^ o2;
            else if (frame->repetition == 3)
                c = o ^ o2;
            coded |= static_cast<guint8>(c << b);
            o2 = o1;
            o1 = o;
        }
        out[i] = coded;
    }
}

guint32 vekgen_frame_expected_tid(const VekgenFrame *frame)
{
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(frame, coded);
    return coded[2] | (guint32{coded[3]} << 8) | (guint32{coded[4]} << 16) |
           (guint32{coded[5]} << 24);
}

gboolean vekgen_frame_expected_ack(const VekgenFrame *frame)
{
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(frame, coded);
    return (coded[0] & 0x10) != 0;
}

guint vekgen_frame_bits(const VekgenFrame *frame, guint8 *bits)
{
    guint n = 0;
    for (guint i = 0; i < kPreambleBits; i++)
        bits[n++] = (i % 2 == 0) ? 1 : 0;
    for (guint8 bit : kLockBits)
        bits[n++] = bit;
    const VekgenFrameType *type = vekgen_frame_get_type(frame);
    guint16 pattern = type != nullptr ? type->pattern : 0;
    for (int b = kPatternBits - 1; b >= 0; b--)
        bits[n++] = (pattern >> b) & 1u;
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(frame, coded);
    guint n_bytes = MIN(frame->covered_len, VEKGEN_MAX_COVERED) + 2u;
    for (guint i = 0; i < n_bytes; i++)
        for (int b = 7; b >= 0; b--)
            bits[n++] = (coded[i] >> b) & 1u;
    return n;
}

gboolean vekgen_frame_parse(const gchar *text, GRand *rand, VekgenFrame *frame, GError **error)
{
    g_autoptr(GRand) own_rand = nullptr;
    if (rand == nullptr)
        rand = own_rand = g_rand_new_with_seed(0);
    FrameText parsed;
    vekgen_frame_init(&parsed.frame);

    const auto set = [&parsed](const gchar *name, const gchar *value, GError **err) -> gboolean {
        const FrameKey *key = find_frame_key(name);
        if (key == nullptr) {
            g_set_error(err, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "unknown frame key '%s'", name);
            return FALSE;
        }
        if (!key->parse(value, &parsed)) {
            g_set_error(err, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "bad value in '%s=%s'", name, value);
            return FALSE;
        }
        return TRUE;
    };
    if (!vekgen::parse_key_values(text, set, error))
        return FALSE;
    if (!finish_frame(&parsed, rand, error))
        return FALSE;
    *frame = parsed.frame;
    return TRUE;
}

gchar *vekgen_frame_to_string(const VekgenFrame *frame)
{
    GString *text = g_string_new(nullptr);
    /* "%f" writes every integer digit: the largest double takes 309 of them, more than
     * G_ASCII_DTOSTR_BUF_SIZE holds, and a cut number would read back as another one. */
    constexpr gsize kNumberText = 320;
    gchar freq[kNumberText], power[kNumberText], phase[kNumberText];
    g_ascii_formatd(freq, sizeof freq, "%.3f", frame->offset_hz);
    g_ascii_formatd(power, sizeof power, "%.2f", frame->power_db);
    g_ascii_formatd(phase, sizeof phase, "%.6f", frame->phase);
    g_string_append_printf(text,
                           "sample=%" G_GUINT64_FORMAT " rate=%u len=%u rep=%u oob=%d freq=%s "
                           "power=%s bytes=",
                           frame->start_sample, frame->bit_rate, frame->covered_len,
                           frame->repetition, frame->oob ? 1 : 0, freq, power);
    for (guint i = 0; i < MIN(frame->covered_len, VEKGEN_MAX_COVERED); i++)
        g_string_append_printf(text, "%02x", frame->bytes[i]);
    g_string_append_printf(text, " inv=%d phase=%s", frame->inverted ? 1 : 0, phase);
    vekgen::append_device_errors(text, frame);
    return g_string_free(text, FALSE);
}
