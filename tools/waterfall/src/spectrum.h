/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The band's spectrum, line by line, from the samples a station already has:
 * 1024 bins over the 192 kHz band, four lines a second of signal, each the mean
 * power of a few Hann-windowed blocks spread over its quarter second. The rest
 * of each line's samples is only counted, so that the cost stays a small,
 * fixed share of the receiver's; nothing of the stream is kept. */
#pragma once

#include <array>
#include <functional>
#include <memory>

#include <glib.h>

namespace waterfall
{

constexpr guint kSampleRate = 192000;
constexpr guint kBins = 1024;
constexpr gdouble kBinHz = static_cast<gdouble>(kSampleRate) / kBins; /* 187.5 Hz */
constexpr guint kLinesPerSecond = 4;
constexpr guint kSamplesPerLine = kSampleRate / kLinesPerSecond;
/* Blocks of kBins samples transformed per line (of the 46 it holds). */
constexpr guint kBlocksPerLine = 4;

/* One line of the waterfall. Bin 0 is the band's lower edge (-96 kHz), bin
 * kBins / 2 its centre; each value is the power a carrier in that bin would
 * show, in dB on the receiver's rssi scale (10 log10 of the mean |x|^2 in
 * sample units, less the receive chain gain). */
struct Line {
    guint64 seq = 0;          /* the line's number, counted from the first */
    guint64 first_sample = 0; /* stream position of its first sample */
    gint64 time_us = 0;       /* Unix time of that sample */
    guint blocks = 0;         /* blocks that went into it */
    std::array<float, kBins> db{};
};

/* The bin of offset @hz from the centre (clamped to the band), and the offset
 * of a bin's centre. */
guint bin_of(gdouble hz);
gdouble hz_of(guint bin);

/* The noise floor of each of @n_segments equal parts of the band: the median
 * of its bins, in the line's unit. */
void segment_floors(const Line &line, guint n_segments, float *floors);

class Spectrum
{
  public:
    using Sink = std::function<void(const Line &line)>;

    /* @int_gain_db: subtracted from every power, as the receiver does.
     * @sink: gets each finished line, on the caller's thread. */
    Spectrum(gdouble int_gain_db, Sink sink);
    ~Spectrum();
    Spectrum(const Spectrum &) = delete;
    Spectrum &operator=(const Spectrum &) = delete;

    /* The next @n samples (interleaved I and Q, host order) of the stream,
     * the first at stream position @first_sample and Unix time @time_us. A
     * position other than the one expected (a gap, or a new stream) ends the
     * line in progress. Allocates nothing. */
    void add(const gint16 *iq, gsize n, guint64 first_sample, gint64 time_us);
    /* Ends the line in progress, if it holds a block (the end of a stream). */
    void flush();

    /* The number the line in progress will get, and how far into it the
     * stream is (0 to 1): where something heard now belongs. */
    gdouble position() const;
    /* Lines finished so far. */
    guint64 lines() const { return finished_; }

  private:
    void finish_line();
    void start_line(guint64 first_sample, gint64 time_us);
    void transform();

    struct Plan;
    std::unique_ptr<Plan> plan_;
    gdouble scale_db_;
    Sink sink_;
    std::array<float, kBins> window_{};
    std::array<double, kBins> power_{}; /* the line's sum of |X|^2 */
    Line line_;
    bool started_ = false;
    guint64 next_ = 0; /* stream position expected next */
    guint64 seq_ = 0;  /* the line in progress */
    guint64 finished_ = 0;
};

} // namespace waterfall
