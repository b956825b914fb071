/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Seeded frames for the receiver's tests: noise at 30 dB over the band, so that a
 * frame at a stated Eb/N0 has a stated power. */
#pragma once

#include <vekgen/vekgen.h>

#include <cmath>

namespace vchan_test
{

constexpr double kNoiseDb = 30.0;

inline double power_for(double ebn0, guint rate)
{
    return kNoiseDb - 10.0 * std::log10(192000.0 / rate) + ebn0;
}

/* One of vekgen's frame types, drawn from @rand. */
inline const VekgenFrameType &random_type(GRand *rand)
{
    guint n = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n);
    return types[g_rand_int_range(rand, 0, gint(n))];
}

inline VekgenFrame make_frame(GRand *rand, const VekgenFrameType &type, guint rate, double offset,
                              double ebn0, guint64 start)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    vekgen_frame_set_type(&f, &type);
    f.bit_rate = rate;
    f.offset_hz = offset;
    f.power_db = power_for(ebn0, rate);
    f.inverted = g_rand_boolean(rand);
    f.phase = g_rand_double_range(rand, -G_PI, G_PI);
    for (guint i = 0; i < type.covered_len; i++)
        f.bytes[i] = guint8(g_rand_int_range(rand, 0, 256));
    f.start_sample = start;
    return f;
}

} // namespace vchan_test
