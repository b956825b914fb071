/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The forward complex FFT of the banks, over whichever library the build chose:
 * libavutil's transforms (LGPL-2.1-or-later, with SIMD code for x86 and ARM) when
 * they were found, KissFFT (BSD, portable C) otherwise, or FFTW (GPL-2.0-or-later,
 * with SIMD code) when the build is told to. All compute the same unnormalised
 * transform, exp(-2 pi i k n / N); results differ only in rounding. */
#pragma once

#include "vchan_common.h"

#include <memory>

namespace vchan
{

class Fft
{
  public:
    explicit Fft(int n);
    ~Fft();
    Fft(const Fft &) = delete;
    Fft &operator=(const Fft &) = delete;

    bool ok() const { return plan_ != nullptr; }
    int size() const { return n_; }
    /* The input, n points, suitably aligned, zero when the transform is made; run()
     * leaves it as it was (each library's forward complex transform out of place
     * does), so that a caller may rewrite only the part that changed. */
    cf *in() { return in_; }
    /* The output of the last run(), n points. */
    const cf *out() const { return out_; }
    void run();
    /* The library in use, for the measurements. */
    static const char *backend();

  private:
    int n_;
    void *plan_ = nullptr;   /* the library's plan or context */
    void (*fn_)() = nullptr; /* libavutil's transform function, when it is the one */
    cf *in_ = nullptr;
    cf *out_ = nullptr;
};

} // namespace vchan
