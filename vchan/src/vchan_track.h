/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The path of a frame's carrier over the frame. A real device's carrier moves while
 * it sends: it drifts (tens of hertz per second as its oscillator warms) and may
 * step (a synthesiser relocking). At 100 bit/s a frame lasts up to 2.2 s, over which
 * 30 Hz/s moves the carrier by 65 Hz, more than half the bit rate: a demodulator
 * that holds the carrier the header found turns every later decision by up to a
 * cycle and a half. Track fits to per-symbol observations of the carrier's turn a
 * path of two straight pieces with a common slope (a drift, and one step at most),
 * by maximising the coherent sums of the observations along it, and says whether
 * that path is a significantly better fit than a constant turn. Two kinds of
 * observation feed it (Demod):
 *   - within each symbol, the second half's sum times the conjugate of the first's
 *     turns by half the symbol's turn whatever the bit: coarse but unambiguous up to
 *     a whole bit rate (so a step of half the bit rate, which turns each decision by
 *     exactly half a cycle and so cannot be seen between symbols, is seen here);
 *   - between symbols, with the bits decided (or known), each symbol times the
 *     conjugate of the one before with the modulation taken off: four times finer.
 * The fit is a search over a grid of slopes and, for each, over every place of the
 * step, with running sums: a few times the symbols times the slopes. */
#pragma once

#include "vchan_common.h"

#include <algorithm>
#include <array>

namespace vchan
{

class Track
{
  public:
    /* Fits the turns of @obs (@n observations, in order, at least 16) with a slope
     * of at most @max_slope radians per observation per observation either way.
     * FALSE when no path is significantly better than a constant turn; the turns
     * are then the constant's. */
    bool fit(const cf *obs, int n, double max_slope);
    /* The fitted turn of observation @k (radians per observation); with the step
     * moved to @step (where a step was found). */
    double turn(int k) const { return turn(k, step_); }
    double turn(int k, int step) const
    {
        k = std::clamp(k, 0, n_ - 1);
        return (step > 0 && k >= step ? after_ : before_) + slope_ * k;
    }
    /* Where the step falls (the first observation after it), 0 without one. */
    int step_at() const { return step_; }
    int size() const { return n_; }
    double before() const { return before_; }
    double after() const { return after_; }
    double slope() const { return slope_; }

  private:
    std::array<std::complex<double>, kMaxSymbols + 1> sums_{};
    int n_ = 1;
    int step_ = 0;
    double before_ = 0.0, after_ = 0.0, slope_ = 0.0;
};

} // namespace vchan
