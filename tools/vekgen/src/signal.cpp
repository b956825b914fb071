/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The sample stream: seeded white Gaussian noise plus the frames' carriers. */
#include "vekgen/vekgen.h"
#include "vekgen-impair-chain.h"
#include "vekgen-rng.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <vector>

namespace
{

using vekgen::Rng;

constexpr guint kMaxSymbols = 1 + VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2);
constexpr gsize kChunk = 4096;
constexpr gdouble kNoNoiseBelowDb = -200.0;

struct Entry {
    VekgenFrame frame;
    std::array<gint8, kMaxSymbols> symbols;
    guint n_symbols;
    guint samples_per_bit;
    gdouble amplitude;
    guint64 end;
};

bool start_before(const Entry &a, const Entry &b)
{
    return a.frame.start_sample < b.frame.start_sample;
}

} // namespace

struct _VekgenSignal {
    guint64 seed;
    gdouble noise_db;
    gdouble noise_sigma; /* per component */
    Rng rng;
    guint64 position = 0;
    std::vector<Entry> entries;      /* sorted by start */
    std::vector<VekgenFrame> frames; /* the same, for callers */
    gsize first_live = 0;            /* entries before it have ended */
    std::array<std::complex<gdouble>, kChunk> scratch;
    std::unique_ptr<vekgen::ImpairChain> impair; /* none when not asked for */

    _VekgenSignal(guint64 s, gdouble n) : seed(s), noise_db(n), noise_sigma(0.0), rng(s)
    {
        if (noise_db >= kNoNoiseBelowDb)
            noise_sigma = std::sqrt(std::pow(10.0, noise_db / 10.0) / 2.0);
    }

    void add_noise(gsize n)
    {
        if (noise_sigma == 0.0) {
            std::fill_n(scratch.begin(), n, std::complex<gdouble>{});
            return;
        }
        for (gsize i = 0; i < n; i++) {
            const gdouble r = noise_sigma * std::sqrt(-2.0 * std::log(rng.uniform_open0()));
            const gdouble theta = 2.0 * G_PI * rng.uniform_open0();
            scratch[i] = {r * std::cos(theta), r * std::sin(theta)};
        }
    }

    void add_frame_samples(const Entry &e, guint64 from, guint64 to)
    {
        const guint64 a = std::max(from, e.frame.start_sample);
        const guint64 b = std::min(to, e.end);
        if (a >= b)
            return;
        if (vekgen_frame_has_device_errors(&e.frame)) {
            vekgen::add_device_frame(e.frame, e.symbols.data(), e.n_symbols, e.amplitude, from, to,
                                     scratch.data());
            return;
        }
        const gdouble step_phase = 2.0 * G_PI * e.frame.offset_hz / VEKGEN_SAMPLE_RATE;
        const std::complex<gdouble> step = std::polar(1.0, step_phase);
        guint64 n = a;
        while (n < b) {
            const guint64 rel = n - e.frame.start_sample;
            const guint symbol = static_cast<guint>(rel / e.samples_per_bit);
            const guint64 symbol_end =
                e.frame.start_sample + static_cast<guint64>(symbol + 1) * e.samples_per_bit;
            const guint64 stop = std::min(b, symbol_end);
            /* The phase is taken modulo a whole number of carrier periods per frame
             * position, computed afresh per symbol so that no error accumulates. */
            const gdouble phase =
                e.frame.phase + std::fmod(step_phase * static_cast<gdouble>(rel), 2.0 * G_PI);
            std::complex<gdouble> rot = std::polar(e.amplitude * e.symbols[symbol], phase);
            for (guint64 k = n; k < stop; k++) {
                scratch[k - from] += rot;
                rot *= step;
            }
            n = stop;
        }
    }
};

VekgenSignal *vekgen_signal_new(guint64 seed, gdouble noise_db)
{
    return new (std::nothrow) _VekgenSignal(seed, std::isnan(noise_db) ? -G_MAXDOUBLE : noise_db);
}

void vekgen_signal_free(VekgenSignal *signal)
{
    delete signal;
}

gdouble vekgen_signal_get_noise_db(const VekgenSignal *signal)
{
    return signal->noise_db;
}

guint64 vekgen_signal_get_seed(const VekgenSignal *signal)
{
    return signal->seed;
}

gboolean vekgen_signal_add_frame(VekgenSignal *signal, const VekgenFrame *frame, GError **error)
{
    if (!vekgen_frame_check(frame, error))
        return FALSE;
    if (frame->start_sample < signal->position) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "frame starts at sample %" G_GUINT64_FORMAT
                    ", before the next sample %" G_GUINT64_FORMAT,
                    frame->start_sample, signal->position);
        return FALSE;
    }
    Entry e{};
    e.frame = *frame;
    if (signal->impair)
        vekgen_impairments_apply_device_defaults(&signal->impair->settings(), &e.frame);
    e.samples_per_bit = vekgen_samples_per_bit(frame->bit_rate);
    e.amplitude = std::sqrt(std::pow(10.0, frame->power_db / 10.0));
    e.end = vekgen_frame_air_end_sample(&e.frame);
    std::array<guint8, kMaxSymbols> bits{};
    const guint n_bits = vekgen_frame_bits(frame, bits.data());
    gint8 symbol = 1;
    e.symbols[0] = symbol;
    for (guint i = 0; i < n_bits; i++) {
        const bool keep = (bits[i] != 0) != (frame->inverted != FALSE);
        if (!keep)
            symbol = static_cast<gint8>(-symbol);
        e.symbols[i + 1] = symbol;
    }
    e.n_symbols = n_bits + 1;

    auto at = std::upper_bound(signal->entries.begin() + signal->first_live, signal->entries.end(),
                               e, start_before);
    const auto index = at - signal->entries.begin();
    signal->entries.insert(at, e);
    signal->frames.insert(signal->frames.begin() + index, e.frame);
    return TRUE;
}

const VekgenFrame *vekgen_signal_get_frames(const VekgenSignal *signal, guint *n_frames)
{
    if (n_frames != nullptr)
        *n_frames = static_cast<guint>(signal->frames.size());
    return signal->frames.data();
}

guint64 vekgen_signal_get_position(const VekgenSignal *signal)
{
    return signal->position;
}

guint64 vekgen_signal_get_end(const VekgenSignal *signal)
{
    guint64 end = 0;
    for (const auto &f : signal->frames)
        end = std::max(end, vekgen_frame_tail_end_sample(&f));
    return end;
}

void vekgen_signal_fill(VekgenSignal *signal, gint16 *iq, gsize n_samples)
{
    while (n_samples > 0) {
        const gsize n = std::min(n_samples, kChunk);
        const guint64 from = signal->position;
        const guint64 to = from + n;
        signal->add_noise(n);
        while (signal->first_live < signal->entries.size() &&
               signal->entries[signal->first_live].end <= from &&
               signal->entries[signal->first_live].frame.start_sample <= from)
            signal->first_live++;
        for (gsize i = signal->first_live; i < signal->entries.size(); i++) {
            const Entry &e = signal->entries[i];
            if (e.frame.start_sample >= to)
                break;
            signal->add_frame_samples(e, from, to);
        }
        gdouble low = -32768.0, high = 32767.0;
        if (signal->impair) {
            signal->impair->add_air(signal->scratch.data(), from, n);
            signal->impair->mix(signal->scratch.data(), n);
            low = signal->impair->clip_low();
            high = signal->impair->clip_high();
        }
        for (gsize i = 0; i < n; i++) {
            const gdouble re = std::clamp(std::nearbyint(signal->scratch[i].real()), low, high);
            const gdouble im = std::clamp(std::nearbyint(signal->scratch[i].imag()), low, high);
            iq[2 * i] = static_cast<gint16>(re);
            iq[2 * i + 1] = static_cast<gint16>(im);
        }
        iq += 2 * n;
        n_samples -= n;
        signal->position = to;
    }
}

void vekgen_signal_skip(VekgenSignal *signal, guint64 n_samples)
{
    signal->position += n_samples;
}

gboolean vekgen_signal_set_impairments(VekgenSignal *signal, const VekgenImpairments *impairments,
                                       GError **error)
{
    if (signal->position != 0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "impairments are set before the first sample, not at sample %" G_GUINT64_FORMAT,
                    signal->position);
        return FALSE;
    }
    try {
        std::unique_ptr<vekgen::ImpairChain> chain;
        if (impairments != nullptr)
            chain =
                std::make_unique<vekgen::ImpairChain>(*impairments, signal->seed, signal->noise_db);
        signal->impair = std::move(chain);
    } catch (const std::exception &e) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID, "cannot set impairments: %s",
                    e.what());
        return FALSE;
    }
    if (signal->impair) {
        for (gsize i = 0; i < signal->entries.size(); i++) {
            Entry &e = signal->entries[i];
            vekgen_impairments_apply_device_defaults(impairments, &e.frame);
            e.end = vekgen_frame_air_end_sample(&e.frame);
            signal->frames[i] = e.frame;
        }
    }
    return TRUE;
}

const VekgenImpairments *vekgen_signal_get_impairments(const VekgenSignal *signal)
{
    return signal->impair ? &signal->impair->settings() : nullptr;
}

const gdouble *vekgen_signal_get_carriers(const VekgenSignal *signal, guint *n_carriers)
{
    const gsize n = signal->impair ? signal->impair->carriers().size() : 0;
    if (n_carriers != nullptr)
        *n_carriers = static_cast<guint>(n);
    return n > 0 ? signal->impair->carriers().data() : nullptr;
}

guint vekgen_signal_get_full_scale(const VekgenSignal *signal)
{
    return signal->impair ? static_cast<guint>(signal->impair->clip_high()) : 32767u;
}

VekgenSignal *vekgen_signal_new_default_scenario(guint64 seed)
{
    VekgenSignal *signal = vekgen_signal_new(seed, 30.0);
    GRand *rand = g_rand_new_with_seed(static_cast<guint32>(seed ^ (seed >> 32)));
    struct Plan {
        gdouble at;
        guint rate, len, rep;
        gboolean oob;
        gdouble freq, power;
    };
    /* Several types at both rates, across the band, with one frame near each band
     * edge; the 100 bit/s frames first, 2.6 s apart, then the 600 bit/s ones. */
    static const Plan plan[] = {
        {0.5, 100, 8, 1, FALSE, 1500.0, 60.0},     {3.1, 100, 9, 2, FALSE, -42000.5, 55.0},
        {5.7, 100, 12, 3, FALSE, 71250.0, 65.0},   {8.3, 100, 16, 1, TRUE, -88000.0, 70.0},
        {10.9, 100, 20, 2, FALSE, 12345.0, 50.0},  {13.5, 100, 16, 3, FALSE, -5000.0, 62.0},
        {16.5, 600, 8, 2, FALSE, -750.0, 60.0},    {17.0, 600, 9, 3, FALSE, 20000.0, 58.0},
        {17.5, 600, 12, 1, FALSE, -30500.0, 66.0}, {18.0, 600, 16, 2, TRUE, 2500.0, 54.0},
        {18.5, 600, 20, 3, FALSE, -15000.0, 68.0}, {19.0, 600, 16, 1, FALSE, 33000.0, 60.0},
    };
    for (const auto &p : plan) {
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.start_sample = static_cast<guint64>(p.at * VEKGEN_SAMPLE_RATE);
        f.bit_rate = p.rate;
        f.covered_len = static_cast<guint8>(p.len);
        f.repetition = static_cast<guint8>(p.rep);
        f.oob = p.oob;
        f.offset_hz = p.freq;
        f.power_db = p.power;
        for (guint i = 0; i < p.len; i++)
            f.bytes[i] = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
        f.phase = g_rand_double_range(rand, -G_PI, G_PI);
        vekgen_signal_add_frame(signal, &f, nullptr);
    }
    g_rand_free(rand);
    return signal;
}
