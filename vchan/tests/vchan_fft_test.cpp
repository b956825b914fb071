/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The banks' FFT, whichever library the build chose, against a direct DFT in double
 * precision: the sign of the exponent, the order of the bins and the scaling are
 * what the detector's bin frequencies rely on, and the input left as it was what the
 * banks' zero padding relies on. */
#include "vchan_bank.h"
#include "vchan_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{

std::vector<std::complex<double>> dft(const std::vector<vchan::cf> &x)
{
    const size_t n = x.size();
    std::vector<std::complex<double>> y(n), turn(n);
    for (size_t i = 0; i < n; i++)
        turn[i] = std::polar(1.0, -2.0 * M_PI * double(i) / double(n));
    for (size_t k = 0; k < n; k++)
        for (size_t i = 0; i < n; i++)
            y[k] += std::complex<double>(x[i]) * turn[(k * i) % n];
    return y;
}

/* Largest error over the bins, relative to the largest bin; the input must be left
 * as it was, which the banks rely on for their zeros. */
double error(vchan::Fft &fft, const std::vector<vchan::cf> &x)
{
    std::copy(x.begin(), x.end(), fft.in());
    fft.run();
    EXPECT_TRUE(std::equal(x.begin(), x.end(), fft.in())) << "the input changed";
    const auto want = dft(x);
    double worst = 0.0, scale = 1e-30;
    for (size_t k = 0; k < x.size(); k++) {
        worst = std::max(worst, std::abs(std::complex<double>(fft.out()[k]) - want[k]));
        scale = std::max(scale, std::abs(want[k]));
    }
    return worst / scale;
}

TEST(VchanFft, MatchesTheDefinitionAtTheBanksSizes)
{
    for (int rate : {600, 100}) {
        const int n = vchan::bank_points(rate), filled = vchan::samples_per_bit(rate);
        SCOPED_TRACE(n);
        vchan::Fft fft(n);
        ASSERT_TRUE(fft.ok());
        /* The banks write only the bit period and rely on the zeros after it. */
        for (int i = 0; i < n; i++)
            ASSERT_EQ(fft.in()[i], vchan::cf{}) << i;
        /* One bit period of samples, then zeros, as the banks fill them. */
        std::vector<vchan::cf> x(static_cast<size_t>(n));
        uint32_t state = 12345;
        for (int i = 0; i < filled; i++) {
            state = state * 1664525u + 1013904223u;
            x[size_t(i)] = vchan::cf(float(int16_t(state >> 16)), float(int16_t(state)));
        }
        EXPECT_LT(error(fft, x), 1e-5);
        /* A full-scale carrier exactly at bin 3's frequency over the bit period: bin 3
         * adds it up coherently (the forward sign), the period's length times its
         * amplitude. */
        for (int i = 0; i < n; i++)
            x[size_t(i)] =
                i < filled ? std::polar(32767.f, float(2.0 * M_PI * 3 * i / n)) : vchan::cf{};
        EXPECT_LT(error(fft, x), 1e-5);
        EXPECT_NEAR(std::abs(fft.out()[3]), 32767.0 * filled, 32767.0 * n * 1e-5);
        /* All zeros. */
        std::fill(x.begin(), x.end(), vchan::cf{});
        std::copy(x.begin(), x.end(), fft.in());
        fft.run();
        for (int k = 0; k < n; k++)
            ASSERT_EQ(fft.out()[k], vchan::cf{}) << k;
    }
}

} // namespace
