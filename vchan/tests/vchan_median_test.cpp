/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The banks' noise median, which orders only the values near the last median,
 * against a selection over all values: equal on noise, on a level that jumps out of
 * the band, on ties, on values at the band's edges and on zeros. */
#include "vchan_median.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace
{

float full_median(std::vector<float> v)
{
    std::nth_element(v.begin(), v.begin() + ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

float near_median(std::vector<float> v, float near)
{
    return vchan::median_near(v.data(), v.size(), near);
}

TEST(VchanMedian, EqualsTheFullSelection)
{
    std::mt19937 gen(7);
    for (size_t n : {640u, 3840u, 1u, 2u}) {
        /* Exponential powers, as a bank's noise gives, from one level to the next:
         * the last median is near for most, far out of the band for some. */
        float last = 0.f;
        for (float level : {1.f, 1.1f, 0.9f, 100.f, 0.01f, 1e6f}) {
            std::exponential_distribution<float> power(1.f / level);
            std::vector<float> v(n);
            for (auto &x : v)
                x = power(gen);
            const float want = full_median(v);
            EXPECT_EQ(near_median(v, last), want) << "n " << n << " level " << level;
            last = want;
        }
    }
    /* Ties, values on the band's edges, zeros. */
    const float m = 10.f;
    const std::vector<std::vector<float>> cases = {
        std::vector<float>(640, m),
        std::vector<float>(640, 0.f),
        {m * 0.7f, m * 0.7f, m * 1.4f, m * 1.4f, m},
        {m * 1.4f, m * 1.4f, m * 1.4f, 0.f, 0.f},
        {0.f, 0.f, 0.f, m * 0.7f, m * 2.f},
    };
    for (const auto &v : cases) {
        EXPECT_EQ(near_median(v, m), full_median(v));
        EXPECT_EQ(near_median(v, 0.f), full_median(v));
    }
}

} // namespace
