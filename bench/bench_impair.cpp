/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A measurement run with impairments (bench_impair.h). */
#include "bench_impair.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace bench
{

namespace
{

constexpr guint64 kRandSalt = 0x1a2b3c4d;

bool parse_number(const char *text, double *out)
{
    char *end = nullptr;
    const double v = g_ascii_strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

/* The devices' defaults given in the text (NAN where not). */
VekgenFrame device_defaults(const VekgenImpairments *settings)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    vekgen_impairments_apply_device_defaults(settings, &f);
    return f;
}

} // namespace

Impairments::~Impairments()
{
    vekgen_impairments_free(settings_);
}

bool Impairments::take_options(int *argc, char ***argv, std::string *error)
{
    char **args = *argv;
    int i = 1;
    for (; i + 1 < *argc; i += 2) {
        const char *option = args[i], *value = args[i + 1];
        if (strcmp(option, "--noise") == 0) {
            if (!parse_number(value, &noise_db_) || noise_db_ > 120.0) {
                *error = "--noise needs a level in dB up to 120";
                return false;
            }
            continue;
        }
        if (strcmp(option, "--impair") != 0)
            break;
        if (settings_ == nullptr)
            settings_ = vekgen_impairments_new();
        g_auto(GStrv) tokens = g_strsplit_set(value, " \t", -1);
        for (gchar **t = tokens; *t != nullptr; t++) {
            if (g_str_equal(*t, "overload=gaps")) {
                overload_gaps_ = true;
            } else if (g_str_has_prefix(*t, "lead=")) {
                if (!parse_number(*t + strlen("lead="), &lead_s_) || lead_s_ < 0.0 ||
                    lead_s_ > 60.0) {
                    *error = std::string("bad value in '") + *t + "'";
                    return false;
                }
            } else if (g_str_has_prefix(*t, "keep-away=")) {
                if (!parse_number(*t + strlen("keep-away="), &keep_away_hz_) ||
                    keep_away_hz_ < 0.0) {
                    *error = std::string("bad value in '") + *t + "'";
                    return false;
                }
            } else if (**t != '\0') {
                g_autoptr(GError) e = nullptr;
                if (!vekgen_impairments_parse(settings_, *t, &e)) {
                    *error = e->message;
                    return false;
                }
            }
        }
        if (!text_.empty())
            text_ += ' ';
        text_ += value;
    }
    /* The program name stays, the options go. */
    const int taken = i - 1;
    for (int k = 1; k + taken <= *argc; k++)
        args[k] = args[k + taken];
    *argc -= taken;
    return true;
}

std::string Impairments::describe() const
{
    if (!any())
        return "";
    g_autofree gchar *line = g_strdup_printf(
        "Impairments: %s; noise %.1f dB; frames kept %s from carriers, DC and a fixed burst "
        "band%s",
        text_.c_str(), noise_db_,
        keep_away_hz_ < 0.0 ? "1000 Hz (600 bit/s) or 300 Hz (100 bit/s)"
                            : (std::to_string(static_cast<int>(keep_away_hz_)) + " Hz").c_str(),
        lead_s_ > 0.0 ? ("; the first frame " + std::to_string(lead_s_) + " s in").c_str() : "");
    return line;
}

VekgenSignal *Impairments::new_signal(guint64 seed) const
{
    VekgenSignal *signal = vekgen_signal_new(seed, noise_db_);
    if (any())
        vekgen_signal_set_impairments(signal, settings_, nullptr);
    return signal;
}

GRand *Impairments::new_rand(guint64 seed)
{
    return g_rand_new_with_seed(static_cast<guint32>(seed ^ kRandSalt));
}

bool Impairments::clear_of(const VekgenSignal *signal, guint rate, double offset) const
{
    const double keep = keep_away_hz_ >= 0.0 ? keep_away_hz_ : (rate == 600 ? 1000.0 : 300.0);
    if (keep == 0.0)
        return true;
    guint n = 0;
    const double *carriers = vekgen_signal_get_carriers(signal, &n);
    const double wander = vekgen_impairments_get(settings_, "carrier-wander");
    for (guint k = 0; k < n; k++)
        if (std::fabs(offset - carriers[k]) < keep + wander)
            return false;
    if (!std::isnan(vekgen_impairments_get(settings_, "dc")) && std::fabs(offset) < keep)
        return false;
    const double burst = vekgen_impairments_get(settings_, "burst-freq");
    const double given_width = vekgen_impairments_get(settings_, "burst-width");
    const double width = std::isnan(given_width) ? 25000.0 : given_width;
    if (!std::isnan(burst) && std::fabs(offset - burst) < width / 2 + keep)
        return false;
    return true;
}

double Impairments::keep_away(const VekgenSignal *signal, GRand *rand, guint rate, double offset,
                              double max_hz) const
{
    /* Gives up after many tries (a band full of carriers): the last draw stands. */
    for (int tries = 0; any() && tries < 10000 && !clear_of(signal, rate, offset); tries++)
        offset = g_rand_double_range(rand, -max_hz, max_hz);
    return offset;
}

void Impairments::give_device_errors(VekgenFrame *frame, GRand *rand) const
{
    if (!any())
        return;
    const VekgenFrame d = device_defaults(settings_);
    auto signed_ = [rand](double v) { return std::isnan(v) ? v : g_rand_boolean(rand) ? v : -v; };
    frame->drift_hz_per_s = signed_(d.drift_hz_per_s);
    frame->step_hz = signed_(d.step_hz);
    frame->clock_ppm = signed_(d.clock_ppm);
    frame->step_at = std::isnan(d.step_at) ? g_rand_double(rand) : d.step_at;
}

bool Impairments::add_overloads_in_gaps(VekgenSignal *signal, GRand *rand) const
{
    if (!overload_gaps_)
        return true;
    const guint64 length = static_cast<guint64>(
        std::llround(vekgen_impairments_get(settings_, "overload-length") * VEKGEN_SAMPLE_RATE));
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n);
    std::vector<std::pair<guint64, guint64>> busy; /* [start, end) of every frame */
    for (guint i = 0; i < n; i++)
        busy.emplace_back(frames[i].start_sample, vekgen_frame_air_end_sample(&frames[i]));
    std::sort(busy.begin(), busy.end());
    g_autoptr(VekgenImpairments) with = vekgen_impairments_copy(settings_);
    guint64 free_from = 0;
    for (const auto &[start, end] : busy) {
        if (start > free_from + length)
            vekgen_impairments_add_overload(
                with,
                free_from + guint64(g_rand_int_range(rand, 0, gint32(start - free_from - length))));
        free_from = std::max(free_from, end);
    }
    return vekgen_signal_set_impairments(signal, with, nullptr);
}

double Impairments::clipped_share(const VekgenSignal *signal, const gint16 *iq, gsize n_samples)
{
    const int high = static_cast<int>(vekgen_signal_get_full_scale(signal));
    const int low = high == 32767 ? -32768 : -high;
    gsize clipped = 0;
    for (gsize i = 0; i < 2 * n_samples; i++)
        clipped += iq[i] >= high || iq[i] <= low;
    return n_samples == 0 ? 0.0 : double(clipped) / double(2 * n_samples);
}

} // namespace bench
