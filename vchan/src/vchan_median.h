/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The median of a bank's output powers, which moves little between two updates. */
#pragma once

#include <algorithm>
#include <cstddef>

namespace vchan
{

/* The element of rank @n / 2 of @v (@n values, reordered), the value a selection
 * over all of them gives. When @near, the last median, is positive, only the values
 * in a band around it are ordered: those below are counted, those in it gathered,
 * and when the rank falls in the band the answer is the band's element of that rank.
 * Otherwise all values are. */
inline float median_near(float *v, size_t n, float near)
{
    const size_t rank = n / 2;
    float *mid = v + rank, *end = v + n;
    if (near > 0.f) {
        const float lo = near * 0.7f, hi = near * 1.4f;
        int below_count = 0, band_count = 0; /* int, so that the counts vectorise */
        for (size_t b = 0; b < n; b++) {
            below_count += v[b] < lo;
            band_count += (v[b] >= lo) & (v[b] < hi);
        }
        const size_t below = size_t(below_count), in_band = size_t(band_count);
        if (rank >= below && rank < below + in_band) {
            size_t k = 0;
            for (size_t b = 0; b < n; b++) {
                const float x = v[b];
                v[k] = x;
                k += (x >= lo) & (x < hi);
            }
            mid = v + (rank - below);
            end = v + in_band;
        }
    }
    std::nth_element(v, mid, end);
    return *mid;
}

} // namespace vchan
