/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The impairments as they run: what is on the air besides the frames, the mixer
 * and the converter's clipping level. */
#include "vekgen-impair-chain.h"

#include <algorithm>
#include <cmath>

namespace vekgen
{

namespace
{

constexpr gdouble kFs = VEKGEN_SAMPLE_RATE;
/* The carriers' wander moves their frequency once per block, so that a carrier stays
 * one turn per sample; the phase at every block start is exact. */
constexpr guint64 kToneBlock = 256;
/* A burst hops to a new frequency every millisecond, gliding there over the first
 * quarter of it along a raised cosine (an abrupt hop would splatter over the band),
 * and rises and falls over half a millisecond. */
constexpr guint64 kChip = VEKGEN_SAMPLE_RATE / 1000;
constexpr guint64 kGlide = kChip / 4;
constexpr guint64 kRamp = kChip / 2;
constexpr gdouble kBurstMinWidth = 10000.0;
constexpr gdouble kBurstMaxWidth = 25000.0;
/* Longer than any stream: a gap or interval drawn longer ends there, so that a duty
 * or rate close to 0 cannot overflow the sample count. */
constexpr gdouble kNeverSeconds = 1e7;

/* One generator per impairment, so that each draws the same whatever the others do. */
enum Salt : guint64 {
    kDcSalt = 1,
    kCarrierSalt,
    kBurstSalt,
    kClickSalt,
    kClickNoiseSalt,
    kOverloadNoiseSalt,
};

guint64 splitmix(guint64 z)
{
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

guint64 salted(guint64 seed, Salt salt)
{
    return splitmix(seed ^ splitmix(salt));
}

gdouble amplitude_of(gdouble power_db)
{
    return std::sqrt(std::pow(10.0, power_db / 10.0));
}

gdouble uniform(Rng &rng)
{
    return rng.uniform_open0();
}

/* White Gaussian noise of @sigma per component at sample @n of the stream keyed by
 * @key: a function of (key, n) only, so clicks and overload bursts are the same
 * however the stream is cut and whatever overlaps them. */
Sample gaussian_at(guint64 key, guint64 n, gdouble sigma)
{
    const guint64 a = splitmix(key ^ splitmix(2 * n));
    const guint64 b = splitmix(key ^ splitmix(2 * n + 1));
    const gdouble u1 = (static_cast<gdouble>(a >> 11) + 1.0) * 0x1.0p-53;
    const gdouble u2 = (static_cast<gdouble>(b >> 11) + 1.0) * 0x1.0p-53;
    const gdouble r = sigma * std::sqrt(-2.0 * std::log(u1));
    return std::polar(r, 2.0 * G_PI * u2);
}

/* The rise and fall of a burst: raised cosines over kRamp samples at either end. */
gdouble envelope(guint64 rel, guint64 length)
{
    gdouble e = 1.0;
    if (rel < kRamp)
        e = 0.5 * (1.0 - std::cos(G_PI * (static_cast<gdouble>(rel) + 0.5) / kRamp));
    const guint64 left = length - rel;
    if (left <= kRamp)
        e = std::min(e, 0.5 * (1.0 - std::cos(G_PI * (static_cast<gdouble>(left) - 0.5) / kRamp)));
    return e;
}

/* @seconds (>= 0) in samples, at most kNeverSeconds of them. */
guint64 samples_after(gdouble seconds)
{
    return static_cast<guint64>(std::llround(std::min(seconds, kNeverSeconds) * kFs));
}

/* Calls @render(a, b) for the part [a, b) of every event in [from, to), in order;
 * @next replaces @event by the one after it. Events that end before @from (samples
 * skipped) are passed over. */
template <typename Event, typename Next, typename Render>
void for_each_piece(Event &event, guint64 from, guint64 to, Next next, Render render)
{
    for (;;) {
        if (event.end <= from) {
            next();
            continue;
        }
        if (event.start >= to)
            return;
        const guint64 b = std::min(to, event.end);
        render(std::max(from, event.start), b);
        if (b < event.end)
            return;
        next();
    }
}

/* At least one sample. */
guint64 samples_of(gdouble seconds)
{
    return std::max<guint64>(1, samples_after(seconds));
}

} // namespace

ImpairChain::ImpairChain(const VekgenImpairments &settings, guint64 seed, gdouble noise_db)
    : settings_(settings),
      ref_noise_db_(noise_db >= -200.0 ? noise_db : VEKGEN_IMPAIR_QUIET_NOISE_DB),
      burst_rng_(salted(seed, kBurstSalt)), click_rng_(salted(seed, kClickSalt)),
      click_key_(salted(seed, kClickNoiseSalt)), overload_key_(salted(seed, kOverloadNoiseSalt))
{
    const VekgenImpairments &s = settings_;
    const gdouble bin_noise_db = ref_noise_db_ - 10.0 * std::log10(kFs / VEKGEN_IMPAIR_BIN_HZ);

    imbalance_ = s.iq_gain_db != 0.0 || s.iq_phase_deg != 0.0;
    gain_i_ = std::pow(10.0, -s.iq_gain_db / 40.0);
    gain_q_ = std::pow(10.0, s.iq_gain_db / 40.0);
    cos_p_ = std::cos(s.iq_phase_deg * G_PI / 180.0);
    sin_p_ = std::sin(s.iq_phase_deg * G_PI / 180.0);

    if (!std::isnan(s.dc_db)) {
        Rng rng(salted(seed, kDcSalt));
        const gdouble drawn = 2.0 * G_PI * uniform(rng) - G_PI;
        dc_ = std::polar(amplitude_of(bin_noise_db + s.dc_db),
                         std::isnan(s.dc_phase) ? drawn : s.dc_phase);
    }
    if (!std::isnan(s.clip_db))
        clip_ = std::min(32768.0, std::floor(amplitude_of(ref_noise_db_ + s.clip_db)));

    /* The k-th carrier draws the same whether or not others are given. */
    Rng rng(salted(seed, kCarrierSalt));
    const guint n_carriers = s.carrier_count();
    tones_.reserve(n_carriers);
    carrier_hz_.reserve(n_carriers);
    for (guint k = 0; k < n_carriers; k++) {
        Tone t{};
        const gdouble drawn = (2.0 * uniform(rng) - 1.0) * (kFs / 2);
        t.freq_hz = k < s.carrier_hz.size() ? s.carrier_hz[k] : drawn;
        t.phase = 2.0 * G_PI * uniform(rng);
        t.wander_phase = 2.0 * G_PI * uniform(rng);
        t.amplitude = amplitude_of(bin_noise_db + s.carrier_db);
        tones_.push_back(t);
        carrier_hz_.push_back(t.freq_hz);
    }

    if (s.burst_duty > 0.0) {
        burst_amplitude_ = amplitude_of(ref_noise_db_ + s.burst_db);
        next_burst();
    }
    if (s.click_rate > 0.0) {
        click_sigma_ = amplitude_of(ref_noise_db_ + s.click_db) / std::sqrt(2.0);
        next_click();
    }
    overloads_ = s.overloads;
    std::sort(overloads_.begin(), overloads_.end());
    overload_sigma_ = amplitude_of(ref_noise_db_ + s.overload_db) / std::sqrt(2.0);
    overload_length_ = samples_of(s.overload_length_s);
}

void ImpairChain::add_air(Sample *x, guint64 from, gsize n)
{
    if (!tones_.empty())
        add_tones(x, from, n);
    if (settings_.burst_duty > 0.0)
        add_bursts(x, from, n);
    if (settings_.click_rate > 0.0)
        add_clicks(x, from, n);
    if (!overloads_.empty())
        add_overloads(x, from, n);
}

void ImpairChain::mix(Sample *x, gsize n) const
{
    if (imbalance_) {
        for (gsize i = 0; i < n; i++) {
            const gdouble re = x[i].real(), im = x[i].imag();
            x[i] = {gain_i_ * re, gain_q_ * (im * cos_p_ - re * sin_p_)};
        }
    }
    if (dc_ != Sample{}) {
        for (gsize i = 0; i < n; i++)
            x[i] += dc_;
    }
}

/* Each carrier at f + W sin(2 pi t / P + theta): its phase in cycles is
 * f t + W P / (2 pi) (cos theta - cos(2 pi t / P + theta)), taken exactly at @at, and it
 * turns by the mean frequency of @at's block until the next block. */
void ImpairChain::set_tones(guint64 at)
{
    const gdouble w = settings_.wander_hz;
    const gdouble period = settings_.wander_period_s;
    const guint64 block = at / kToneBlock * kToneBlock;
    const gdouble t_at = static_cast<gdouble>(at) / kFs;
    const gdouble t_begin = static_cast<gdouble>(block) / kFs;
    const gdouble t_end = static_cast<gdouble>(block + kToneBlock) / kFs;
    const gdouble k = w * period / (2.0 * G_PI);
    for (Tone &t : tones_) {
        const auto wander = [&](gdouble time) {
            return w == 0.0 ? 0.0 : -k * std::cos(2.0 * G_PI * time / period + t.wander_phase);
        };
        gdouble cycles = t.freq_hz * static_cast<gdouble>(at) / kFs;
        cycles = cycles - std::floor(cycles) + wander(t_at) - wander(0.0);
        cycles -= std::floor(cycles);
        t.z = std::polar(t.amplitude, t.phase + 2.0 * G_PI * cycles);
        const gdouble block_cycles = t.freq_hz * kToneBlock / kFs + wander(t_end) - wander(t_begin);
        t.step = std::polar(1.0, 2.0 * G_PI * block_cycles / kToneBlock);
    }
    tone_position_ = at;
}

void ImpairChain::add_tones(Sample *x, guint64 from, gsize n)
{
    const guint64 end = from + n;
    for (guint64 at = from; at < end;) {
        if (at % kToneBlock == 0 || at != tone_position_)
            set_tones(at);
        const guint64 stop = std::min(end, (at / kToneBlock + 1) * kToneBlock);
        for (Tone &t : tones_) {
            Sample z = t.z;
            for (guint64 i = at; i < stop; i++) {
                x[i - from] += z;
                z *= t.step;
            }
            t.z = z;
        }
        at = tone_position_ = stop;
    }
}

/* Bursts come one after the other, with exponential gaps whose mean gives the duty:
 * L (1 - duty) / duty for bursts of length L. */
void ImpairChain::next_burst()
{
    const VekgenImpairments &s = settings_;
    const gdouble u_gap = uniform(burst_rng_);
    const gdouble u_width = uniform(burst_rng_);
    const gdouble u_centre = uniform(burst_rng_);
    const gdouble u_phase = uniform(burst_rng_);
    const gdouble mean_gap = s.burst_length_s * (1.0 - s.burst_duty) / s.burst_duty;
    const guint64 gap = samples_after(-mean_gap * std::log(u_gap));
    const guint64 start = burst_.end + gap;
    burst_.index++;
    burst_.start = start;
    burst_.end = start + samples_of(s.burst_length_s);
    burst_width_hz_ = std::isnan(s.burst_width_hz)
                          ? kBurstMinWidth + (kBurstMaxWidth - kBurstMinWidth) * u_width
                          : s.burst_width_hz;
    const gdouble room = std::max(0.0, kFs / 2 - burst_width_hz_ / 2);
    burst_centre_hz_ = std::isnan(s.burst_hz) ? (2.0 * u_centre - 1.0) * room : s.burst_hz;
    burst_z_ = std::polar(1.0, 2.0 * G_PI * u_phase);
    burst_started_ = false;
}

void ImpairChain::add_bursts(Sample *x, guint64 from, gsize n)
{
    for_each_piece(
        burst_, from, from + n, [this] { next_burst(); },
        [&](guint64 a, guint64 b) {
            const guint64 length = burst_.end - burst_.start;
            Sample z = burst_z_;
            for (guint64 i = a; i < b; i++) {
                const guint64 rel = i - burst_.start;
                const guint64 in_chip = rel % kChip;
                if (in_chip == 0 || !burst_started_) {
                    const gdouble f =
                        burst_centre_hz_ + burst_width_hz_ * (uniform(burst_rng_) - 0.5);
                    if (!burst_started_) {
                        /* First sample rendered of this burst, possibly mid-chip after a
                         * skip: no glide, the step is the chip's own frequency. */
                        burst_from_hz_ = f;
                        burst_step_ = std::polar(1.0, 2.0 * G_PI * f / kFs);
                    } else {
                        burst_from_hz_ = burst_to_hz_;
                    }
                    burst_to_hz_ = f;
                    z /= std::abs(z);
                    burst_started_ = true;
                }
                if (in_chip <= kGlide) {
                    const gdouble along =
                        in_chip == kGlide
                            ? 1.0
                            : 0.5 - 0.5 * std::cos(G_PI * (static_cast<gdouble>(in_chip) + 0.5) /
                                                   kGlide);
                    const gdouble f = burst_from_hz_ + (burst_to_hz_ - burst_from_hz_) * along;
                    burst_step_ = std::polar(1.0, 2.0 * G_PI * f / kFs);
                }
                x[i - from] += burst_amplitude_ * envelope(rel, length) * z;
                z *= burst_step_;
            }
            burst_z_ = z;
        });
}

/* Clicks arrive at random (exponential intervals from start to start), a click that
 * would begin inside the one before it beginning at its end. */
void ImpairChain::next_click()
{
    const gdouble interval = -std::log(uniform(click_rng_)) / settings_.click_rate;
    const guint64 start = (click_.index == 0 ? 0 : click_.start) + samples_after(interval);
    click_.start = std::max(start, click_.end);
    click_.end = click_.start + samples_of(settings_.click_length_s);
    click_.index++;
}

void ImpairChain::add_clicks(Sample *x, guint64 from, gsize n)
{
    for_each_piece(
        click_, from, from + n, [this] { next_click(); },
        [&](guint64 a, guint64 b) {
            for (guint64 i = a; i < b; i++)
                x[i - from] += gaussian_at(click_key_, i, click_sigma_);
        });
}

void ImpairChain::add_overloads(Sample *x, guint64 from, gsize n)
{
    const guint64 to = from + n;
    while (first_overload_ < overloads_.size() &&
           overloads_[first_overload_] + overload_length_ <= from)
        first_overload_++;
    for (gsize k = first_overload_; k < overloads_.size() && overloads_[k] < to; k++) {
        const guint64 a = std::max(from, overloads_[k]);
        const guint64 b = std::min(to, overloads_[k] + overload_length_);
        const guint64 key = splitmix(overload_key_ ^ k);
        for (guint64 i = a; i < b; i++)
            x[i - from] += gaussian_at(key, i, overload_sigma_);
    }
}

} // namespace vekgen
