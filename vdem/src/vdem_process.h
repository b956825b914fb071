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

typedef struct {
    int16_t *last_buf;
    vdem_cf32_t *nn1_buf;
    float *postfilter_in_buf;
    int32_t postfilter_in_pos;
    float loop_angle;
    vdem_proto_frame_t frameout;
    vdem_cf32_t freq_est_buffer[VDEM_PROCESS_RING];
    int32_t freq_est_buffer_pos;
    uint32_t sampleTimeStamp;
    int32_t packet_bundle;
    vdem_thread_conf_t conf;
    vdem_thread_demod_t demod_ctx;
} vdem_process_data_t;

extern vdem_process_data_t vdem_process_data;
extern float lowpass_fir[VDEM_PROCESS_FIR_TAPS];

/* Frequency estimator state. */
extern double vdem_angle;
extern double vdem_freq_pre1;
extern float vdem_freq_D;
extern float vdem_freq_E;
extern int32_t vdem_freq_counter;
extern int32_t vdem_freq_do_abcde;
extern float last_angl;

/* Selects the optimised filter and frame measurement (default) or the plain
 * reference implementation; both give the same reports. */
extern int vdem_process_fast_path;

/* Returns false when a buffer could not be allocated. */
bool VDEM_PROCESS_init(float gain);
void vdem_process(short *samplebuf, vdem_proto_frame_t *fr);

/* Pieces of the chain, reachable for the tests and the benchmark. */
void gardner_full_reset(vdem_thread_modem_t *modem);
void vdem_process_measure_frame(int length);
float vdem_process_fir(const vdem_cf32_t *window, float *im_out);
void freq_estimate_init(void);
void freq_estimate(vdem_cf32_t z);
float freq_estimate_compute_final(void);
