/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Messages: the three repetitions of one frame as a device sends them. */
#include "vekgen/vekgen.h"
#include "vekgen-text.h"

#include <cmath>
#include <cstring>
#include <string>

namespace
{

using vekgen::parse_number;

/* Carriers drawn for a message's repetitions lie within this of the band's centre,
 * as the receivers' measurements place frames. */
constexpr gdouble kRandomOffsetHz = 90000.0;
/* A pause longer than this would not fit a recording anyway. */
constexpr gdouble kMaxGapSeconds = 3600.0;

/* One value for every repetition, or one each: @n_out gets how many were given. */
bool parse_list(const gchar *text, gdouble out[3], guint *n_out)
{
    g_auto(GStrv) parts = g_strsplit(text, ",", -1);
    const guint n = g_strv_length(parts);
    if (n != 1 && n != 3)
        return false;
    for (guint i = 0; i < n; i++)
        if (!parse_number(parts[i], &out[i]))
            return false;
    if (n == 1)
        out[1] = out[2] = out[0];
    *n_out = n;
    return true;
}

bool parse_gap(const gchar *text, VekgenMessage *m)
{
    const gchar *dash = strchr(text, '-');
    g_autofree gchar *low = dash != nullptr ? g_strndup(text, gsize(dash - text)) : nullptr;
    gdouble lo = 0.0, hi = 0.0;
    if (!(dash == nullptr ? parse_number(text, &hi)
                          : parse_number(low, &lo) && parse_number(dash + 1, &hi)) ||
        lo < 0.0 || hi < lo || hi > kMaxGapSeconds)
        return false;
    m->gap_min = lo;
    m->gap_max = hi;
    return true;
}

bool parse_drop(const gchar *text, VekgenMessage *m)
{
    g_auto(GStrv) parts = g_strsplit(text, ",", -1);
    for (guint i = 0; parts[i] != nullptr; i++) {
        guint64 rep = 0;
        if (!g_ascii_string_to_unsigned(parts[i], 10, 1, 3, &rep, nullptr))
            return false;
        m->dropped[rep - 1] = TRUE;
    }
    return parts[0] != nullptr;
}

} // namespace

void vekgen_message_init(VekgenMessage *message)
{
    *message = VekgenMessage{};
    vekgen_frame_init(&message->first);
    message->gap_min = 0.0;
    message->gap_max = 1.0;
    for (int r = 0; r < 3; r++) {
        message->power_db[r] = message->first.power_db;
        message->offset_hz[r] = NAN;
    }
}

gboolean vekgen_message_parse(const gchar *text, GRand *rand, VekgenMessage *message,
                              GError **error)
{
    vekgen_message_init(message);
    g_auto(GStrv) tokens = g_strsplit_set(text, " \t", -1);
    std::string frame_text;
    gdouble powers[3] = {}, offsets[3] = {};
    guint n_powers = 0, n_offsets = 0;
    for (guint i = 0; tokens[i] != nullptr; i++) {
        const gchar *t = tokens[i];
        if (*t == '\0')
            continue;
        bool ok = true;
        if (g_str_has_prefix(t, "power="))
            ok = parse_list(t + 6, powers, &n_powers);
        else if (g_str_has_prefix(t, "freq="))
            ok = parse_list(t + 5, offsets, &n_offsets);
        else if (g_str_has_prefix(t, "gap="))
            ok = parse_gap(t + 4, message);
        else if (g_str_has_prefix(t, "drop="))
            ok = parse_drop(t + 5, message);
        else if (g_str_has_prefix(t, "rep=")) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                        "a message sends all three repetitions: rep= is for frames");
            return FALSE;
        } else
            frame_text += std::string(" ") + t;
        if (!ok) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "bad value in '%s'", t);
            return FALSE;
        }
    }
    /* The frame keys make repetition 1; its power and carrier are checked there. */
    if (n_powers > 0)
        frame_text += " power=" + std::to_string(powers[0]);
    if (n_offsets > 0)
        frame_text += " freq=" + std::to_string(offsets[0]);
    if (!vekgen_frame_parse(frame_text.c_str(), rand, &message->first, error))
        return FALSE;
    for (int r = 0; r < 3; r++) {
        message->power_db[r] = n_powers > 0 ? powers[r] : message->first.power_db;
        message->offset_hz[r] = n_offsets > 0 ? offsets[r] : NAN;
    }
    message->first.power_db = message->power_db[0];
    return TRUE;
}

gboolean vekgen_signal_add_message(VekgenSignal *signal, const VekgenMessage *message, GRand *rand,
                                   GError **error)
{
    if (!(message->gap_min >= 0.0 && message->gap_max >= message->gap_min &&
          message->gap_max <= kMaxGapSeconds)) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "the gaps of a message must lie between 0 and %.0f s", kMaxGapSeconds);
        return FALSE;
    }
    guint n_frames = 0, number = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n_frames);
    for (guint i = 0; i < n_frames; i++)
        number = MAX(number, frames[i].message);
    number++;
    VekgenFrame reps[3];
    guint64 start = message->first.start_sample;
    for (guint r = 0; r < 3; r++) {
        VekgenFrame &f = reps[r];
        f = message->first;
        const VekgenFrameType *type =
            vekgen_frame_type_find(message->first.covered_len, r + 1, message->first.oob);
        if (type == nullptr) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                        "no frame type of %u bytes%s for repetition %u", message->first.covered_len,
                        message->first.oob ? " out of band" : "", r + 1);
            return FALSE;
        }
        vekgen_frame_set_type(&f, type);
        f.message = number;
        f.start_sample = start;
        f.power_db = message->power_db[r];
        f.offset_hz = std::isnan(message->offset_hz[r])
                          ? g_rand_double_range(rand, -kRandomOffsetHz, kRandomOffsetHz)
                          : message->offset_hz[r];
        if (r > 0)
            f.phase = g_rand_double_range(rand, -G_PI, G_PI);
        if (!vekgen_frame_check(&f, error)) {
            g_prefix_error(error, "repetition %u: ", r + 1);
            return FALSE;
        }
        const gdouble gap = message->gap_max > message->gap_min
                                ? g_rand_double_range(rand, message->gap_min, message->gap_max)
                                : message->gap_min;
        start = vekgen_frame_end_sample(&f) + guint64(std::llround(gap * VEKGEN_SAMPLE_RATE));
    }
    for (guint r = 0; r < 3; r++)
        if (!message->dropped[r] && !vekgen_signal_add_frame(signal, &reps[r], error))
            return FALSE;
    return TRUE;
}
