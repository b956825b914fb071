/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Latency percentiles in fixed memory: a histogram with buckets 2 % wide
 * from 1 microsecond to about 4000 seconds. */
#pragma once

#include <array>
#include <cmath>

#include <glib.h>

namespace vekbs
{

class LatencyHistogram
{
  public:
    void add(gint64 us)
    {
        counts_[bucket(us)]++;
        total_++;
    }
    guint64 count() const { return total_; }
    /* The @q quantile (0 to 1) in milliseconds; 0 without samples. */
    gdouble quantile_ms(gdouble q) const
    {
        if (total_ == 0)
            return 0.0;
        const guint64 rank = static_cast<guint64>(std::ceil(q * static_cast<gdouble>(total_)));
        guint64 seen = 0;
        for (gsize i = 0; i < counts_.size(); i++) {
            seen += counts_[i];
            if (seen >= MAX(rank, 1u))
                return std::pow(kStep, static_cast<gdouble>(i) + 0.5) / 1000.0;
        }
        return std::pow(kStep, static_cast<gdouble>(counts_.size())) / 1000.0;
    }

  private:
    static constexpr gdouble kStep = 1.02;
    static constexpr gsize kBuckets = 1120; /* 1.02^1120 us: about 4000 s */
    static gsize bucket(gint64 us)
    {
        if (us <= 1)
            return 0;
        const gdouble b = std::log(static_cast<gdouble>(us)) / std::log(kStep);
        return MIN(static_cast<gsize>(b), kBuckets - 1);
    }
    std::array<guint64, kBuckets> counts_{};
    guint64 total_ = 0;
};

} // namespace vekbs
