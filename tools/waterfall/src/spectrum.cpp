/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The band's spectrum, line by line, over the receiver's own FFT. */
#include "spectrum.h"

#include <algorithm>
#include <cmath>

#include "vchan_fft.h"

namespace waterfall
{

namespace
{

/* Where block @b of a line starts: the blocks are spread evenly over the line,
 * so that a burst shorter than a line still falls into one. */
constexpr guint64 block_start(guint b)
{
    return guint64{b} * (kSamplesPerLine / kBlocksPerLine);
}

} // namespace

struct Spectrum::Plan {
    vchan::Fft fft{static_cast<int>(kBins)};
};

guint bin_of(gdouble hz)
{
    const gdouble b = std::floor(hz / kBinHz + 0.5) + kBins / 2;
    return static_cast<guint>(std::clamp(b, 0.0, static_cast<gdouble>(kBins - 1)));
}

gdouble hz_of(guint bin)
{
    return (static_cast<gdouble>(bin) - kBins / 2) * kBinHz;
}

void segment_floors(const Line &line, guint n_segments, float *floors)
{
    std::array<float, kBins> part;
    for (guint s = 0; s < n_segments; s++) {
        const guint from = s * kBins / n_segments, to = (s + 1) * kBins / n_segments;
        std::copy(line.db.begin() + from, line.db.begin() + to, part.begin());
        const guint n = to - from;
        std::nth_element(part.begin(), part.begin() + n / 2, part.begin() + n);
        floors[s] = part[n / 2];
    }
}

Spectrum::Spectrum(gdouble int_gain_db, Sink sink)
    : plan_(std::make_unique<Plan>()), sink_(std::move(sink))
{
    double sum = 0;
    for (guint i = 0; i < kBins; i++) {
        window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * G_PI * (i + 0.5) / kBins));
        sum += window_[i];
    }
    /* A carrier of power A^2 gives |X|^2 = A^2 (sum w)^2 in its bin. */
    scale_db_ = -20.0 * std::log10(sum) - int_gain_db;
}

Spectrum::~Spectrum() = default;

gdouble Spectrum::position() const
{
    if (!started_)
        return static_cast<gdouble>(seq_);
    const guint64 into = next_ - line_.first_sample;
    return static_cast<gdouble>(seq_) + std::min(1.0, static_cast<gdouble>(into) / kSamplesPerLine);
}

void Spectrum::start_line(guint64 first_sample, gint64 time_us)
{
    line_.seq = seq_;
    line_.first_sample = first_sample;
    line_.time_us = time_us;
    line_.blocks = 0;
    power_.fill(0.0);
    started_ = true;
}

void Spectrum::finish_line()
{
    if (!started_)
        return;
    started_ = false;
    if (line_.blocks == 0)
        return;
    const double mean = 1.0 / line_.blocks;
    /* FFT order to band order: bin 0 is -96 kHz. */
    for (guint k = 0; k < kBins; k++) {
        const double p = power_[k] * mean;
        line_.db[(k + kBins / 2) % kBins] =
            static_cast<float>(p > 0 ? 10.0 * std::log10(p) + scale_db_ : -300.0);
    }
    finished_++;
    seq_++;
    sink_(line_);
}

void Spectrum::transform()
{
    plan_->fft.run();
    const vchan::cf *out = plan_->fft.out();
    for (guint k = 0; k < kBins; k++)
        power_[k] += std::norm(out[k]);
    line_.blocks++;
}

void Spectrum::add(const gint16 *iq, gsize n, guint64 first_sample, gint64 time_us)
{
    if (started_ && first_sample != next_)
        finish_line();
    next_ = first_sample;
    gsize i = 0;
    while (i < n) {
        const guint64 at = first_sample + i;
        if (!started_)
            start_line(at, time_us + static_cast<gint64>(i * G_USEC_PER_SEC / kSampleRate));
        const guint64 into = at - line_.first_sample;
        if (into >= kSamplesPerLine) {
            finish_line();
            continue;
        }
        /* The block this sample belongs to, or the next one's start. */
        const guint b = static_cast<guint>(into / (kSamplesPerLine / kBlocksPerLine));
        const guint64 start = block_start(b);
        const guint64 end_of_line = kSamplesPerLine;
        if (into >= start + kBins) {
            const guint64 skip_to = b + 1 < kBlocksPerLine ? block_start(b + 1) : end_of_line;
            i += static_cast<gsize>(std::min<guint64>(skip_to - into, n - i));
            continue;
        }
        /* Window the samples into the transform's input as they come. */
        vchan::cf *in = plan_->fft.in();
        const guint offset = static_cast<guint>(into - start);
        const gsize take = std::min<gsize>(kBins - offset, n - i);
        for (gsize j = 0; j < take; j++) {
            const float w = window_[offset + j];
            in[offset + j] = vchan::cf(w * iq[2 * (i + j)], w * iq[2 * (i + j) + 1]);
        }
        i += take;
        if (offset + take == kBins)
            transform();
    }
    next_ = first_sample + n;
}

void Spectrum::flush()
{
    finish_line();
}

} // namespace waterfall
