/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Uplink bit decoder: frame type recognition, cut-out after 208 decisions,
 * per-repetition de-multiplexing and the 16-bit frame check. */
#pragma once

#include <stdint.h>

struct vdem_thread_demod_t;

/* One row of the frame type table. */
typedef struct {
    uint16_t pattern;         /* 13-bit frame type, oldest bit most significant */
    uint16_t frame_length;    /* bytes, counting 5 bytes of preamble and type */
    uint16_t sequence_number; /* repetition 1 to 3 */
    uint16_t active;          /* 1 for a known type */
    uint8_t oob;              /* 1 for an out-of-band frame */
} frame_sync_t;

#define VDEM_DECOD_V1_NFSTAB 18
#define VDEM_DECOD_V1_RING 208
#define VDEM_DECOD_V1_LUT_SIZE 8192

extern const frame_sync_t fstab[VDEM_DECOD_V1_NFSTAB];
extern const int nfstab;
extern frame_sync_t frame_sync_lut[VDEM_DECOD_V1_LUT_SIZE];

typedef enum {
    V1_WAIT_FRAME_HDR = 0,
    V1_WAIT_FRAME_COMPLETE = 1,
    V1_FRAME_COMPLETE = 2
} vdem_decod_status_t;

typedef struct {
    uint16_t frame_sync; /* bits leaving the ring, 208 decisions old */
    uint16_t frame_hdr;  /* incoming bits */
    uint8_t bit_buffer[VDEM_DECOD_V1_RING];
    uint32_t bit_buf_idx;
    uint32_t bit_data_idx;
    int32_t timeout_symb;
    vdem_decod_status_t decodStatus;
} vdem_thread_decod_ctx_t;

typedef struct {
    int32_t chan;
    int32_t binNr;     /* decoder context this branch drives */
    int32_t n_symbols; /* data bits of the frame being cut out */
} vdem_thread_frame_est_t;

/* Results of VDEM_DECOD_V1_fl(). */
#define VDEM_DECOD_V1_NOTHING 0
#define VDEM_DECOD_V1_PATTERN 2
#define VDEM_DECOD_V1_EVALUATED 8

void VDEM_DECOD_V1_crc_init(void);
int32_t VDEM_DECOD_V1_fl(vdem_thread_frame_est_t *framePtr, uint8_t bit,
                         struct vdem_thread_demod_t *td);
int32_t process_demux_and_crc_check_v1(int seqNb, int data_len, int frameLen, const uint8_t *data,
                                       uint8_t *demux_data);

/* CRC-16 with polynomial 0x1021, initial value 0, all bits inverted at the end. */
uint16_t vdem_decod_v1_crc16(const uint8_t *data, int len);
