/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Uplink signal chain: differential detection, low-pass and decimation to 8
 * samples per bit, phase tracking, symbol integration, timing recovery, the
 * two bit decoders and, for each checked frame, the frequency and power
 * measurement on the raw samples of the history ring. */
#include <math.h>
#include <string.h>

#include "vdem_decod_v1.h"
#include "vdem_fast_math.h"
#include "vdem_interface_priv.h"
#include "vdem_mem_mgt.h"
#include "vdem_process.h"

vdem_process_data_t vdem_process_data;
float lowpass_fir[VDEM_PROCESS_FIR_TAPS];

#ifdef VDEM_TEST_HOOKS
static bool fast_path = true;
static uint32_t plain_passes = 0;

void vdem_process_set_fast_path(bool fast)
{
    fast_path = fast;
}

uint32_t vdem_process_plain_passes(void)
{
    return plain_passes;
}

static void count_plain_pass(void)
{
    plain_passes++;
}
#else
/* The library always takes the optimised paths; only the test archive can
 * switch to the plain ones. */
static constexpr bool fast_path = true;
static void count_plain_pass(void) {}
#endif

static_assert(VDEM_FAST_TURN == VDEM_PROCESS_FS, "rotation tables are in steps of 1 Hz");

/* Phase-locked loop of the frequency estimator: damping 0.70711, loop
 * bandwidth 2000 Hz at 192000 samples per second. */
static constexpr float PLL_ETA = 0.70711f;
static constexpr double PLL_BL = 2000.0;
static constexpr double PLL_THETA =
    PLL_BL / (((double)PLL_ETA + 0.25 / (double)PLL_ETA) * VDEM_PROCESS_FS);
static constexpr double PLL_ALPHA = 4.0 * (double)PLL_ETA * PLL_THETA;
static constexpr double PLL_BETA = (2.0 * PLL_THETA) * (2.0 * PLL_THETA);

static constexpr float PHASE_CLAMP = 0.02f;
static constexpr double SATURATION_DB = -8.0;
static constexpr float REPORT_FLOOR_DB = -64.0f;
static constexpr int MEASURE_LEAD_BITS = 232;

/* ---- Set-up --------------------------------------------------------- */

static void build_lowpass(void)
{
    double w[VDEM_PROCESS_FIR_TAPS];
    double sum = 0;
    for (int n = 0; n < VDEM_PROCESS_FIR_TAPS; n++) {
        w[n] = 0.54 - 0.46 * cos(2.0 * M_PI * n / (VDEM_PROCESS_FIR_TAPS - 1));
        sum += w[n];
    }
    for (int n = 0; n < VDEM_PROCESS_FIR_TAPS; n++)
        lowpass_fir[n] = (float)(w[n] / sum);
}

void gardner_full_reset(vdem_thread_modem_t *modem)
{
    vdem_thread_gardner_t *zc = &modem->zc;
    zc->mode = VDEM_THREAD_GARDNER_RUNNING;
    zc->idx = 0;
    zc->d_mu = (float)vdem_process_data.conf.spsP2;
    memset(zc->corr_buf, 0, sizeof zc->corr_buf);
}

bool VDEM_PROCESS_init(float gain)
{
    vdem_process_data_t *pd = &vdem_process_data;
    size_t hop = (size_t)vdem_conf.hop_size;

    pd->last_buf = (int16_t *)VDEM_MEM_MGT_calloc(2 * hop, sizeof(int16_t));
    pd->nn1_buf =
        (vdem_cf32_t *)VDEM_MEM_MGT_calloc(hop + VDEM_PROCESS_FIR_TAPS, sizeof(vdem_cf32_t));
    pd->postfilter_in_buf = (float *)VDEM_MEM_MGT_calloc(hop, sizeof(float));
    if (!pd->last_buf || !pd->nn1_buf || !pd->postfilter_in_buf) {
        pd->last_buf = NULL;
        pd->nn1_buf = NULL;
        pd->postfilter_in_buf = NULL;
        return false;
    }

    pd->postfilter_in_pos = 0;
    pd->loop_angle = 0;
    pd->freq_est_buffer_pos = 0;
    memset(pd->freq_est_buffer, 0, sizeof pd->freq_est_buffer);

    pd->conf.tput = vdem_conf.tput;
    pd->conf.sps = 8;
    pd->conf.spsP2 = pd->conf.sps + 2;
    pd->conf.ceil_half_sps = pd->conf.sps / 2;
    pd->conf.floor_half_sps = pd->conf.sps / 2;
    pd->conf.rcv_gain = gain;
    pd->demod_ctx.count = 0;

    for (int b = 0; b < 2; b++) {
        pd->demod_ctx.modem[b].frame.chan = b;
        pd->demod_ctx.modem[b].frame.binNr = b;
        gardner_full_reset(&pd->demod_ctx.modem[b]);
    }
    pd->demod_ctx.conf = pd->conf;
    for (int b = 0; b < 2; b++) {
        pd->demod_ctx.decod[b].bit_data_idx = 0;
        pd->demod_ctx.decod[b].timeout_symb = -30;
        pd->demod_ctx.decod[b].decodStatus = V1_WAIT_FRAME_HDR;
    }
    VDEM_DECOD_V1_crc_init();
    pd->sampleTimeStamp = 0;

    build_lowpass();
    vdem_fast_math_init();
    return true;
}

/* ---- Low-pass filter ------------------------------------------------ */

static float fir_plain(const vdem_cf32_t *window, float *im_out)
{
    float re = 0, im = 0;
    for (int p = 0; p < VDEM_PROCESS_FIR_TAPS; p++) {
        re += window[p].re * lowpass_fir[p];
        im += window[p].im * lowpass_fir[p];
    }
    *im_out = im;
    return re;
}

typedef float v4sf __attribute__((vector_size(16)));

static float fir_fast(const vdem_cf32_t *window, float *im_out)
{
    /* Interleaved re/im lanes against pairwise duplicated coefficients;
     * four independent accumulators keep the adders busy. */
    const float *x = &window[0].re;
    v4sf acc[4] = {};
    for (int p = 0; p < VDEM_PROCESS_FIR_TAPS; p += 8) {
        for (int j = 0; j < 4; j++) {
            int tap = p + 2 * j;
            v4sf v, h = {lowpass_fir[tap], lowpass_fir[tap], lowpass_fir[tap + 1],
                         lowpass_fir[tap + 1]};
            memcpy(&v, x + 2 * tap, sizeof v);
            acc[j] += v * h;
        }
    }
    v4sf s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    *im_out = s[1] + s[3];
    return s[0] + s[2];
}

float vdem_process_fir(const vdem_cf32_t *window, float *im_out)
{
    return fast_path ? fir_fast(window, im_out) : fir_plain(window, im_out);
}

/* ---- Phase tracking and timing recovery ----------------------------- */

/* -atan(im / re), clamped to +-0.02 rad; an undefined quotient (0/0) takes
 * the upper bound. */
static float phase_correction(float re, float im)
{
    float corr;
    if (re == 0.0f) {
        if (im == 0.0f)
            return PHASE_CLAMP;
        corr = im > 0 ? -(float)M_PI_2 : (float)M_PI_2;
    } else {
        /* Beyond 0.0201 the arctangent exceeds the clamp anyway. */
        float ratio = im / re;
        if (ratio > 0.0201f)
            return -PHASE_CLAMP;
        if (ratio < -0.0201f)
            return PHASE_CLAMP;
        corr = -atanf(ratio);
    }
    if (corr > PHASE_CLAMP || corr != corr)
        return PHASE_CLAMP;
    if (corr < -PHASE_CLAMP)
        return -PHASE_CLAMP;
    return corr;
}

static float gardner_track_error(vdem_thread_modem_t *m, const vdem_thread_conf_t *conf)
{
    vdem_thread_gardner_t *zc = &m->zc;
    int s = m->sym_idx;
    zc->d_p_2T = zc->d_p_0T;
    zc->d_p_0T = m->sym_buf[s];
    zc->d_c_2T = zc->d_c_0T;
    zc->d_c_0T = zc->d_p_0T > 0 ? 1.0f : -1.0f;
    int a = s - conf->ceil_half_sps, b = s - conf->floor_half_sps;
    if (a < 0)
        a += VDEM_PROCESS_SYM_BUF;
    if (b < 0)
        b += VDEM_PROCESS_SYM_BUF;
    zc->d_p_1T = m->sym_buf[a] + m->sym_buf[b];
    float err = (zc->d_c_0T - zc->d_c_2T) * (zc->d_p_1T - (zc->d_p_0T + zc->d_p_2T));
    if (err < 0)
        return 1.0f;
    if (err > 0)
        return -1.0f;
    return 0.0f;
}

static inline int32_t corr_at(const vdem_thread_gardner_t *zc, int k)
{
    return zc->corr_buf[k & 7];
}

/* Returns true when a decision was made on this decimated sample. */
static bool gardner(vdem_thread_modem_t *m, const vdem_thread_conf_t *conf)
{
    vdem_thread_gardner_t *zc = &m->zc;
    bool decided = false;
    if (zc->d_mu < 1.0f) {
        float cor = 0;
        int k = zc->idx & 7;
        switch (zc->mode) {
        case VDEM_THREAD_GARDNER_RUNNING: {
            cor = gardner_track_error(m, conf);
            zc->corr_buf[k] = (int32_t)zc->d_c_0T;
            int32_t lock = corr_at(zc, k - 5) + corr_at(zc, k - 4) - corr_at(zc, k - 3) -
                           corr_at(zc, k - 2) + corr_at(zc, k - 1) + corr_at(zc, k);
            zc->idx = (k + 1) & 7;
            if (lock == 6 || lock == -6)
                zc->mode = VDEM_THREAD_GARDNER_LOCKING;
            break;
        }
        case VDEM_THREAD_GARDNER_LOCKING: {
            cor = gardner_track_error(m, conf);
            zc->corr_buf[k] = (int32_t)zc->d_c_0T;
            int32_t sum =
                corr_at(zc, k - 3) + corr_at(zc, k - 2) + corr_at(zc, k - 1) + corr_at(zc, k);
            zc->idx = (k + 1) & 7;
            if (sum != 0)
                zc->mode = VDEM_THREAD_GARDNER_LOCKED;
            break;
        }
        default:
            zc->d_c_0T = m->sym_buf[m->sym_idx] > 0 ? 1.0f : -1.0f;
            break;
        }
        zc->d_mu = (float)conf->sps + cor;
        decided = true;
    }
    zc->d_mu -= 1.0f;
    return decided;
}

/* ---- Frame measurement ---------------------------------------------- */

void freq_estimate_init(vdem_freq_est_t *est)
{
    est->counter = 0;
    est->angle = 0;
    est->D = 0;
    est->E = 0;
    est->pre1 = 0;
}

void freq_estimate(vdem_freq_est_t *est, vdem_cf32_t z)
{
    double c = cos(est->angle), s = sin(est->angle);
    double wr = z.re * c + z.im * s;
    double wi = z.im * c - z.re * s;
    double angl = atan2(wi, wr);
    if (angl - est->last_angl > M_PI)
        angl -= M_PI;
    else if (angl - est->last_angl < -M_PI)
        angl += M_PI;
    est->last_angl = (float)angl;
    est->pre1 += PLL_BETA * angl;
    est->angle += PLL_ALPHA * angl + est->pre1;
    if (est->do_abcde == 0) {
        est->D -= est->counter * est->angle;
        est->E -= est->angle;
        est->counter += 1;
    }
}

float freq_estimate_compute_final(const vdem_freq_est_t *est)
{
    float D = est->D, E = est->E;
    float n = (float)est->counter;
    float S2 = n * (n + 1) * (2 * n + 1) / 6;
    float S1 = n * (n + 1) / 2;
    float ic = (D * S1 - E * S2) / (n * S2 - S1 * S1);
    float slope = -(S1 / S2) * ic - D / S2;
    return slope * 192000.0f / 2.0f / (float)M_PI;
}

/* One pass of the estimator over n ring samples from s0. */
static float estimator_pass_plain(vdem_freq_est_t *est, const vdem_cf32_t *ring, int s0, int n,
                                  int x)
{
    freq_estimate_init(est);
    int p = s0;
    for (int k = 0; k < n; k++) {
        freq_estimate(est, ring[p]);
        if (++p == VDEM_PROCESS_RING)
            p = 0;
        est->do_abcde = k > n - x ? 1 : 0;
    }
    return freq_estimate_compute_final(est);
}

/* Within this distance (rad) of a branch of the loop, the fast pass cannot
 * tell which way the plain arithmetic goes: the +-pi cut of the phase error,
 * the +-pi thresholds of its unwrapping, and the axes of the loop phase,
 * whose signs decide the error of an all-zero sample. The two passes' phase
 * errors differ by at most a few 1e-10 rad. */
static constexpr double BRANCH_MARGIN = 1e-8;
/* The previous error is kept in single precision: when the two passes'
 * errors round to neighbouring floats, the unwrapping compares against
 * values one float step apart, at most 4.8e-7 within 2 pi. */
static constexpr double FLOAT_STEP_BELOW_2PI = 4.8e-7;

/* How far the plain pass's previous error, in single precision, may be from
 * ours: one float step where the two could round apart. The first sample
 * compares against the previous pass, which may have been the other
 * path's. */
static double last_rounding_slack(int k, double prev)
{
    if (k == 0)
        return FLOAT_STEP_BELOW_2PI;
    return (double)(float)(prev + BRANCH_MARGIN) - (double)(float)(prev - BRANCH_MARGIN);
}

/* The same pass, arranged for speed. The plain loop spends its time in the
 * chain sample -> sin/cos(loop phase) -> atan2 -> loop phase, every step
 * waiting for the previous one. Here the phase error is taken as arg(z)
 * minus the loop phase: arg(z) does not depend on the loop, so it overlaps
 * with it, and the loop phase is also carried reduced to one turn (rho), so
 * that the chain is a handful of additions. rho advances by each step's
 * increment; the rounding of the full phase, known one step later, is added
 * then, and rho is re-anchored on the full phase every block. The phase
 * error then matches the plain one to about 1e-10 rad, far below what moves
 * the single-precision regression sums. Samples that are exactly zero take
 * the plain formula, whose result depends on the signs of sin and cos.
 *
 * Near a branch (BRANCH_MARGIN) those 1e-10 rad can send the loop the other
 * way, a turn of pi that moves the estimate by hertz. Noise makes that rare,
 * but a noise-free carrier whose samples repeat exactly (0 Hz, a quarter of
 * the sample rate) locks the loop to the last bit, and then every phase flip
 * sits on the cut. The pass therefore stops at the first step that comes
 * that close and returns false; the caller then runs the plain pass from the
 * same start (the plain loop's state at that step is not known here, so no
 * later step could be decided without it).
 *
 * A step whose phase error and previous error are both exact is no such
 * step: the error of a zero sample away from the axes is 0 or +-pi exactly,
 * on both paths alike, so the unwrapping decides alike even on its
 * threshold. Silence after a noise-free frame gives exactly that (errors of
 * pi in a row); it stays on the fast path. */
static bool estimator_pass_fast(vdem_freq_est_t *est, const vdem_cf32_t *ring, int s0, int n, int x,
                                float *estimate)
{
    static constexpr int BLOCK = 512;
    static constexpr double TWO_PI = 2.0 * M_PI;
    freq_estimate_init(est);
    double angle = 0, pre1 = 0;
    float D = 0, E = 0;
    int32_t counter = 0;
    int32_t do_abcde = est->do_abcde;
    float last = est->last_angl;
    /* Whether `last` is the plain pass's to the bit; the previous pass's
     * value may come from the other path. */
    bool last_exact = false;
    double prev = 0; /* the previous error before rounding */
    int p = s0;
    double rho = 0;      /* loop phase reduced to one turn */
    double rounding = 0; /* last step's rounding of the full phase, not yet in rho */
    for (int k = 0; k < n; k++) {
        if ((k & (BLOCK - 1)) == 0) {
            rho = vdem_fast_reduce_angle(angle);
            rounding = 0;
        }
        vdem_cf32_t z = ring[p];
        if (++p == VDEM_PROCESS_RING)
            p = 0;
        double angl;
        bool exact;
        if (z.re != 0.0f || z.im != 0.0f) {
            angl = vdem_fast_arg(z.im, z.re) - rho;
            if (angl > M_PI)
                angl -= TWO_PI;
            else if (angl < -M_PI)
                angl += TWO_PI;
            if (fabs(angl) > M_PI - BRANCH_MARGIN)
                return false;
            exact = false;
        } else {
            /* As the plain pass computes it. From rest (phase exactly 0) the
             * two loops are still bit for bit the same. */
            double s = sin(angle), c = cos(angle);
            if (angle != 0.0 && (fabs(s) < BRANCH_MARGIN || fabs(c) < BRANCH_MARGIN))
                return false;
            angl = atan2(z.im * c - z.re * s, z.re * c + z.im * s);
            exact = true;
        }
        const double jump = angl - last;
        if (!(exact && last_exact)) {
            const double to_threshold = fabs(fabs(jump) - M_PI);
            if (to_threshold < BRANCH_MARGIN + FLOAT_STEP_BELOW_2PI &&
                to_threshold < BRANCH_MARGIN + last_rounding_slack(k, prev))
                return false;
        }
        if (jump > M_PI)
            angl -= M_PI;
        else if (jump < -M_PI)
            angl += M_PI;
        last = (float)angl;
        last_exact = exact;
        prev = angl;
        pre1 += PLL_BETA * angl;
        double step = PLL_ALPHA * angl + pre1;
        double next = angle + step;
        rho = (rho + rounding) + step;
        if (rho > M_PI)
            rho -= TWO_PI;
        else if (rho < -M_PI)
            rho += TWO_PI;
        if (!(fabs(rho) <= M_PI + 1.0))
            rho = vdem_fast_reduce_angle(next);
        rounding = (next - angle) - step;
        angle = next;
        if (do_abcde == 0) {
            D -= counter * angle;
            E -= angle;
            counter += 1;
        }
        do_abcde = k > n - x ? 1 : 0;
    }
    est->angle = angle;
    est->pre1 = pre1;
    est->D = D;
    est->E = E;
    est->counter = counter;
    est->do_abcde = do_abcde;
    est->last_angl = last;
    *estimate = freq_estimate_compute_final(est);
    return true;
}

/* One estimator pass on the chosen path. A fast pass that came near a
 * branch is replaced by the plain one (the start state is the carried-over
 * previous error and regression flag). Returns whether the fast pass was
 * kept. */
static bool estimator_pass(vdem_freq_est_t *est, const vdem_cf32_t *ring, int s0, int n, int x,
                           bool fast, float *estimate)
{
    if (fast) {
        const float start_last = est->last_angl;
        const int32_t start_do_abcde = est->do_abcde;
        if (estimator_pass_fast(est, ring, s0, n, x, estimate))
            return true;
        est->last_angl = start_last;
        est->do_abcde = start_do_abcde;
        count_plain_pass();
    }
    *estimate = estimator_pass_plain(est, ring, s0, n, x);
    return false;
}

/* Float to integer toward zero, saturating instead of overflowing. */
static int32_t trunc_to_int(float v)
{
    if (v != v)
        return 0;
    if (v >= 2147483520.0f)
        return INT32_MAX;
    if (v <= -2147483648.0f)
        return INT32_MIN;
    return (int32_t)v;
}

/* Removes the coarse offset from the window in place and returns the power
 * of the smoothed, derotated samples. The phase of sample k is
 * 2 pi P / 192000 with P the float product f1 * (-k), an integer: the fast
 * path takes the rotation for P modulo 192000 from two small tables instead
 * of evaluating sin and cos of a phase of up to a million radians. */
static double derotate(vdem_cf32_t *ring, int s0, int n, int32_t f1, bool fast)
{
    double power = 0;
    double iir_re = ring[s0].re, iir_im = ring[s0].im;
    int p = s0;
    for (int k = 0; k < n; k++) {
        float prod = (float)f1 * (float)(-k);
        vdem_cf32_t z = ring[p];
        double s, c;
        /* An all-zero sample keeps only the signs of the rotation, and the
         * tables may differ from sin and cos in the sign of a value next to
         * an axis: take the plain rotation there. */
        if (fast && (z.re != 0.0f || z.im != 0.0f)) {
            int64_t m = (int64_t)prod % VDEM_PROCESS_FS;
            if (m < 0)
                m += VDEM_PROCESS_FS;
            vdem_fast_rotation((int32_t)m, &c, &s);
        } else {
            double phi = 2.0 * M_PI * (double)prod / VDEM_PROCESS_FS;
            s = sin(phi);
            c = cos(phi);
        }
        z = {(float)(z.re * c - z.im * s), (float)(z.re * s + z.im * c)};
        ring[p] = z;
        iir_re = 0.01 * z.re + 0.99 * iir_re;
        iir_im = 0.01 * z.im + 0.99 * iir_im;
        power += iir_re * iir_re + iir_im * iir_im;
        if (++p == VDEM_PROCESS_RING)
            p = 0;
    }
    return power;
}

void vdem_process_measure_frame(int length)
{
    vdem_process_data_t *pd = &vdem_process_data;
    const vdem_thread_conf_t *conf = &pd->conf;
    if (conf->tput <= 0 || length <= 0 || length > 22)
        return;
    const int bit_samples = VDEM_PROCESS_FS / conf->tput;
    const int n = bit_samples * (length + 5) * 8;
    const int x = 960000 / (conf->tput * conf->sps);
    int s0 = (pd->freq_est_buffer_pos - 1) - MEASURE_LEAD_BITS * bit_samples;
    if (s0 < 0)
        s0 += VDEM_PROCESS_RING;
    vdem_cf32_t *ring = pd->freq_est_buffer;

    /* A first pass that had to be taken on the plain path means a signal
     * that sits on the loop's branches (a noise-free carrier whose samples
     * repeat); its derotated copy does too, and the fast rotation would
     * round it differently, so the rest of the measurement stays plain. */
    float est;
    const bool fast = estimator_pass(&pd->freq_est, ring, s0, n, x, fast_path, &est);
    int32_t f1 = trunc_to_int(est);
    pd->frameout.freq = f1;

    double power = derotate(ring, s0, n, f1, fast);

    float f2;
    estimator_pass(&pd->freq_est, ring, s0, n, x, fast, &f2);
    pd->frameout.freq = trunc_to_int((float)f1 + f2);

    pd->frameout.rssi = (float)(10.0 * log10(power / n) - conf->rcv_gain);
    float snr = pd->frameout.rssi + (conf->tput == 100 ? 90.0f : 82.0f);
    pd->frameout.snr = snr > 50.0f ? 50.0f : snr;
}

/* ---- Frame report ---------------------------------------------------- */

static void report_frame(void)
{
    vdem_process_data_t *pd = &vdem_process_data;
    vdem_thread_demod_t *dc = &pd->demod_ctx;
    vdem_frame_cont_t cont;
    memset(&cont, 0, sizeof cont);
    cont.entries = 1;
    vdem_proto_frame_t decoded = dc->pf;
    dc->count = 0;

    if (pd->frameout.rssi > REPORT_FLOOR_DB) {
        vdem_proto_frame_t *out = &pd->frameout;
        out->sampleTimeStamp = (int32_t)pd->sampleTimeStamp;
        memcpy(out->frame, decoded.frame, sizeof out->frame);
        out->length = decoded.length;
        out->tid = decoded.tid;
        out->f.v1.ack = decoded.f.v1.ack;
        out->f.v1.seq = decoded.f.v1.seq;
        out->f.v1.oob = decoded.f.v1.oob;
        cont.pframe[0] = *out;
        vdem_fdata_exit_fct_ptr(&cont);
    }
    gardner_full_reset(&dc->modem[0]);
    pd->loop_angle = 0;
}

/* ---- One bit period --------------------------------------------------- */

void vdem_process(short *samplebuf, vdem_proto_frame_t *fr)
{
    (void)fr;
    vdem_process_data_t *pd = &vdem_process_data;
    const int hop = vdem_conf.hop_size;
    if (hop <= 0 || !pd->nn1_buf)
        return;
    const vdem_thread_conf_t *conf = &pd->conf;
    const int decim = VDEM_PROCESS_FS / (conf->tput * conf->sps);
    vdem_cf32_t *nn1 = pd->nn1_buf;
    const int16_t *x = samplebuf;
    const int16_t *y = pd->last_buf;

    memmove(nn1, nn1 + hop, VDEM_PROCESS_FIR_TAPS * sizeof *nn1);

    /* History ring, power and differential product, in runs that do not
     * cross the end of the ring. */
    int64_t power = 0;
    int pos = pd->freq_est_buffer_pos;
    for (int i = 0; i < hop;) {
        int run = hop - i;
        if (run > VDEM_PROCESS_RING - pos)
            run = VDEM_PROCESS_RING - pos;
        vdem_cf32_t *__restrict ring = pd->freq_est_buffer + pos;
        vdem_cf32_t *__restrict prod = nn1 + VDEM_PROCESS_FIR_TAPS + i;
        const int16_t *xs = x + 2 * i, *ys = y + 2 * i;
        for (int j = 0; j < run; j++) {
            int32_t xr = xs[2 * j], xi = xs[2 * j + 1];
            float fxr = (float)xr, fxi = (float)xi;
            float fyr = (float)ys[2 * j], fyi = (float)ys[2 * j + 1];
            ring[j].re = fxr;
            ring[j].im = fxi;
            power += (uint32_t)(xr * xr) + (uint32_t)(xi * xi);
            prod[j].re = fxr * fyr + fxi * fyi;
            prod[j].im = fxi * fyr - fxr * fyi;
        }
        i += run;
        pos += run;
        if (pos == VDEM_PROCESS_RING)
            pos = 0;
    }
    pd->freq_est_buffer_pos = pos;

    double level = 10.0 * log10((double)power / hop) - conf->rcv_gain;
    if (level > SATURATION_DB) {
        vdem_rfsat_t rfsat = {(float)level, (int32_t)pd->sampleTimeStamp};
        vdem_rfsat_exit_fct_ptr(&rfsat);
    }

    memcpy(pd->last_buf, samplebuf, 2 * (size_t)hop * sizeof(int16_t));

    vdem_thread_demod_t *dc = &pd->demod_ctx;
    vdem_thread_modem_t *m0 = &dc->modem[0];
    for (int i = 0; i < hop; i += decim) {
        float im;
        float re = vdem_process_fir(nn1 + i, &im);

        float c = cosf(pd->loop_angle), s = sinf(pd->loop_angle);
        float ar = re * c - im * s;
        float ai = re * s + im * c;
        pd->loop_angle += phase_correction(ar, ai);

        pd->postfilter_in_buf[pd->postfilter_in_pos] = ar;
        pd->postfilter_in_pos = (pd->postfilter_in_pos + 1) % conf->sps;
        float out = 0;
        for (int j = 0; j < conf->sps; j++)
            out += pd->postfilter_in_buf[j];
        m0->sym_buf[m0->sym_idx] = out;

        if (gardner(m0, conf)) {
            uint8_t cbit = m0->zc.d_c_0T == 1.0f ? 1 : 0;
            m0->last_bit = cbit;
            int32_t r0 = VDEM_DECOD_V1_fl(&dc->modem[0].frame, (uint8_t)(1 - cbit), dc);
            int32_t r1 = VDEM_DECOD_V1_fl(&dc->modem[1].frame, cbit, dc);
            if ((r0 == VDEM_DECOD_V1_EVALUATED || r1 == VDEM_DECOD_V1_EVALUATED) && dc->count != 0)
                vdem_process_measure_frame(dc->pf.length);
            if (dc->count != 0)
                report_frame();
        }
        if (++m0->sym_idx >= VDEM_PROCESS_SYM_BUF)
            m0->sym_idx = 0;
    }
}
