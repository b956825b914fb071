/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Uplink signal chain: one call per bit period of posted samples. */
#pragma once

#include <stdint.h>
#include <vdem/vdem.h>

#include "vdem_decod_v1.h"

#define VDEM_PROCESS_FIR_TAPS 256
#define VDEM_PROCESS_SYM_BUF 33
#define VDEM_PROCESS_RING 576000 /* 3 s of raw samples */
#define VDEM_PROCESS_FS 192000

typedef struct {
    float re;
    float im;
} vdem_cf32_t;

typedef struct {
    float rcv_gain;
    int32_t tput;
    int32_t sps;
    int32_t spsP2;
    int32_t ceil_half_sps;
    int32_t floor_half_sps;
} vdem_thread_conf_t;

typedef enum {
    VDEM_THREAD_GARDNER_RUNNING = 0,
    VDEM_THREAD_GARDNER_LOCKING = 1,
    VDEM_THREAD_GARDNER_LOCKED = 2
} vdem_thread_gardner_mode_t;

typedef struct {
    float d_mu; /* decimated samples left until the next decision */
    float d_c_2T;
    float d_c_0T;
    float d_p_1T;
    float d_p_0T;
    float d_p_2T;
    vdem_thread_gardner_mode_t mode;
    int32_t idx;
    int32_t corr_buf[8];
} vdem_thread_gardner_t;

typedef struct {
    vdem_thread_frame_est_t frame;
    float sym_buf[VDEM_PROCESS_SYM_BUF];
    vdem_thread_gardner_t zc;
    int32_t sym_idx;
    uint8_t last_bit;
} vdem_thread_modem_t;

struct vdem_thread_demod_t {
    uint32_t sampleTimeStamp;
    vdem_thread_decod_ctx_t decod[2];
    vdem_thread_modem_t modem[2];
    vdem_thread_conf_t conf;
    vdem_proto_frame_t pf;
    int32_t count;
};
typedef struct vdem_thread_demod_t vdem_thread_demod_t;

/* Frequency estimator: a second-order phase-locked loop on the raw samples
 * and a least-squares fit of its phase against the sample index. A reset
 * clears the loop and the regression; the previous phase error and the
 * regression flag carry over from one pass to the next. */
typedef struct {
    double angle; /* loop phase */
    double pre1;  /* loop integrator */
    float D;      /* regression sums */
    float E;
    int32_t counter;  /* samples in the regression */
    int32_t do_abcde; /* not 0: the regression is closed */
    float last_angl;  /* previous phase error, for unwrapping */
} vdem_freq_est_t;

typedef struct {
    int16_t *last_buf;
    vdem_cf32_t *nn1_buf;
    float *postfilter_in_buf;
    int32_t postfilter_in_pos;
    float loop_angle;
    vdem_proto_frame_t frameout;
    vdem_cf32_t freq_est_buffer[VDEM_PROCESS_RING];
    int32_t freq_est_buffer_pos;
    vdem_freq_est_t freq_est;
    uint32_t sampleTimeStamp;
    int32_t packet_bundle;
    vdem_thread_conf_t conf;
    vdem_thread_demod_t demod_ctx;
} vdem_process_data_t;

extern vdem_process_data_t vdem_process_data;
extern float lowpass_fir[VDEM_PROCESS_FIR_TAPS];

#ifdef VDEM_TEST_HOOKS
/* Test archive only: selects the optimised filter and frame measurement
 * (the default) or the plain reference implementation; both give the same
 * reports. The shared library has no switch and always runs optimised. */
void vdem_process_set_fast_path(bool fast);
/* Test archive only: estimator passes of the optimised path that came near
 * one of the loop's branches and were taken again on the plain path, since
 * load. */
uint32_t vdem_process_plain_passes(void);
#endif

/* Returns false when a buffer could not be allocated. */
bool VDEM_PROCESS_init(float gain);
void vdem_process(short *samplebuf, vdem_proto_frame_t *fr);

/* Pieces of the chain, reachable for the tests and the benchmark. */
void gardner_full_reset(vdem_thread_modem_t *modem);
void vdem_process_measure_frame(int length);
float vdem_process_fir(const vdem_cf32_t *window, float *im_out);
void freq_estimate_init(vdem_freq_est_t *est);
void freq_estimate(vdem_freq_est_t *est, vdem_cf32_t z);
float freq_estimate_compute_final(const vdem_freq_est_t *est);
