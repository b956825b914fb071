/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Fast but faithful phase reduction, rotation and arctangent for the frame
 * measurement.
 *
 * The measurement spends most of its time in sin/cos of the loop phase and
 * in atan2. The versions below agree with the C library to one or two units
 * in the last place of a double, which leaves the reports unchanged: every
 * other operation of the measurement is carried out exactly as on the plain
 * path. They are inline because they sit in the per-sample loops. */
#pragma once

#include <math.h>
#include <stdint.h>

/* Phases are reduced in steps of 2 pi / VDEM_FAST_SINCOS_STEPS. */
#define VDEM_FAST_SINCOS_STEPS 512
/* Beyond this (2^26 rad) the reduction falls back to remainder(). */
#define VDEM_FAST_REDUCE_LIMIT 67108864.0
/* Rotations by whole multiples of 2 pi / 192000 (1 Hz over one sample):
 * exp(j 2 pi m / VDEM_FAST_TURN) = coarse[m / FINE] * fine[m % FINE]. */
#define VDEM_FAST_TURN 192000
#define VDEM_FAST_ROT_FINE 512
#define VDEM_FAST_ROT_COARSE (VDEM_FAST_TURN / VDEM_FAST_ROT_FINE)
#define VDEM_FAST_ATAN_STEPS 64

typedef struct {
    /* 2 pi / VDEM_FAST_SINCOS_STEPS in three parts; the first two have 20
     * significant bits so that k * part is exact for |k| < 2^33. */
    double red_c1, red_c2, red_c3;
    double rot_fine_re[VDEM_FAST_ROT_FINE], rot_fine_im[VDEM_FAST_ROT_FINE];
    double rot_coarse_re[VDEM_FAST_ROT_COARSE], rot_coarse_im[VDEM_FAST_ROT_COARSE];
    double atan[VDEM_FAST_ATAN_STEPS + 1]; /* atan(i / 64) */
} vdem_fast_tables_t;

extern vdem_fast_tables_t vdem_fast_tables;

/* Fills the tables; the functions below need it once before first use. */
void vdem_fast_math_init(void);

/* Argument of x + jy for finite values, not both zero, without branches
 * (the estimator runs it on noisy samples, where branches mispredict). */
static inline double vdem_fast_arg(double y, double x)
{
    static const double PI_HI = 3.141592653589793116;
    static const double PI_LO = 1.2246467991473532e-16;
    static const double PIO2_HI = 1.5707963267948965580;
    static const double PIO2_LO = 6.123233995736766e-17;
    double ax = fabs(x), ay = fabs(y);
    bool steep = ay > ax;
    double big = steep ? ay : ax;
    double small = steep ? ax : ay;
    /* The table index only needs to be about right: single precision. */
    int i = (int)((float)small / (float)big * VDEM_FAST_ATAN_STEPS + 0.5f);
    double ci = (double)i / VDEM_FAST_ATAN_STEPS;
    /* atan(small / big) = atan(ci) + atan(u), |u| < 1/64 */
    double u = (small - ci * big) / (big + ci * small);
    double u2 = u * u;
    double poly = u * u2 * (-1.0 / 3 + u2 * (1.0 / 5 + u2 * (-1.0 / 7 + u2 * (1.0 / 9))));
    double a = vdem_fast_tables.atan[i] + (u + poly);
    double from_y_axis = (PIO2_HI - a) + PIO2_LO;
    a = steep ? from_y_axis : a;
    double from_left = (PI_HI - a) + PI_LO;
    a = x < 0 ? from_left : a;
    return copysign(a, y);
}

/* Reduces a double to (-pi, pi] exactly enough for the fast estimator. */
static inline double vdem_fast_reduce_angle(double x)
{
    if (!(fabs(x) <= VDEM_FAST_REDUCE_LIMIT))
        return remainder(x, 2.0 * M_PI);
    const vdem_fast_tables_t *t = &vdem_fast_tables;
    double turns = (x * (1.0 / (2.0 * M_PI)) + 0x1.8p52) - 0x1.8p52;
    double c = VDEM_FAST_SINCOS_STEPS * turns;
    return ((x - c * t->red_c1) - c * t->red_c2) - c * t->red_c3;
}

/* cos and sin of 2 pi m / VDEM_FAST_TURN, for 0 <= m < VDEM_FAST_TURN. */
static inline void vdem_fast_rotation(int32_t m, double *c, double *s)
{
    const vdem_fast_tables_t *t = &vdem_fast_tables;
    int q = m / VDEM_FAST_ROT_FINE, r = m % VDEM_FAST_ROT_FINE;
    *c = t->rot_coarse_re[q] * t->rot_fine_re[r] - t->rot_coarse_im[q] * t->rot_fine_im[r];
    *s = t->rot_coarse_re[q] * t->rot_fine_im[r] + t->rot_coarse_im[q] * t->rot_fine_re[r];
}
