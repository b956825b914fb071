/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Tables of the fast phase reduction, rotation and arctangent. */
#include <string.h>

#include "vdem_fast_math.h"

vdem_fast_tables_t vdem_fast_tables;

static double keep_bits(double v, int bits)
{
    uint64_t u;
    memcpy(&u, &v, sizeof u);
    u &= ~((UINT64_C(1) << (52 - (bits - 1))) - 1);
    memcpy(&v, &u, sizeof v);
    return v;
}

void vdem_fast_math_init(void)
{
    vdem_fast_tables_t *t = &vdem_fast_tables;
    /* 2 pi as a double-double, scaled by a power of two (exact). */
    double hi = 6.283185307179586232 / VDEM_FAST_SINCOS_STEPS;
    double lo = 2.4492935982947064e-16 / VDEM_FAST_SINCOS_STEPS;
    t->red_c1 = keep_bits(hi, 20);
    t->red_c2 = keep_bits(hi - t->red_c1, 20);
    t->red_c3 = (hi - t->red_c1 - t->red_c2) + lo;
    for (int i = 0; i <= VDEM_FAST_ATAN_STEPS; i++)
        t->atan[i] = atan((double)i / VDEM_FAST_ATAN_STEPS);
    for (int i = 0; i < VDEM_FAST_ROT_FINE; i++) {
        t->rot_fine_re[i] = cos(2.0 * M_PI * i / VDEM_FAST_TURN);
        t->rot_fine_im[i] = sin(2.0 * M_PI * i / VDEM_FAST_TURN);
    }
    for (int i = 0; i < VDEM_FAST_ROT_COARSE; i++) {
        t->rot_coarse_re[i] = cos(2.0 * M_PI * i * VDEM_FAST_ROT_FINE / VDEM_FAST_TURN);
        t->rot_coarse_im[i] = sin(2.0 * M_PI * i * VDEM_FAST_ROT_FINE / VDEM_FAST_TURN);
    }
}
