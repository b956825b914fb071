/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The generator of every random draw of the sample stream. */
#pragma once

#include <glib.h>

#include <array>

namespace vekgen
{

/* xoshiro256** seeded through splitmix64: fast, and the same sequence on every host. */
class Rng
{
  public:
    explicit Rng(guint64 seed)
    {
        for (auto &word : state_) {
            seed += 0x9e3779b97f4a7c15ULL;
            guint64 z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }

    guint64 next()
    {
        const guint64 result = rotl(state_[1] * 5, 7) * 9;
        const guint64 t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    /* Uniform in (0, 1]. */
    gdouble uniform_open0() { return (static_cast<gdouble>(next() >> 11) + 1.0) * 0x1.0p-53; }

  private:
    static guint64 rotl(guint64 x, int k) { return (x << k) | (x >> (64 - k)); }
    std::array<guint64, 4> state_{};
};

} // namespace vekgen
