/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libvdem: uplink demodulator (I/Q packets in, checked frames out through
 * callbacks) and downlink frame builder.
 *
 * The library keeps one process-wide demodulator instance; there is no
 * handle. It is not thread-safe: call it from one thread at a time. Frame and
 * RF-saturation reports are delivered synchronously from inside
 * VDEM_INTERFACE_post_iq_packet(); the records handed to the callbacks live
 * only for the duration of the call, and callbacks must not call back into
 * the library.
 *
 * This header is plain C (C11) and compiles as C++ too. */
#ifndef VDEM_VDEM_H
#define VDEM_VDEM_H

#include <stdint.h>
#include <vdem/vdem-export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Demodulator: configuration and result codes ---------------------- */

/* Values of vdem_interface_config_t.bitrate. */
typedef enum { VDEM_INTERFACE_100BPS = 0, VDEM_INTERFACE_600BPS = 1 } vdem_interface_bitrate_t;

/* Argument of VDEM_INTERFACE_init(). */
typedef struct {
    int32_t bitrate; /* a vdem_interface_bitrate_t value */
    float int_gain;  /* receive chain gain in dB, 0 or more */
} vdem_interface_config_t;

/* Results of VDEM_INTERFACE_init(). */
typedef enum {
    VDEM_INTERFACE_OK = 0,
    VDEM_INTERFACE_NEGATIVE_INT_GAIN = 1,
    VDEM_INTERFACE_UNSUPPORTED_BITRATE = 2,
    VDEM_INTERFACE_INTERNAL_ERROR = 3,
    VDEM_INTERFACE_INSTANCE_RUNNING = 4,
    VDEM_INTERFACE_NUMBER_OF_CODES = 5 /* count of codes, never returned */
} vdem_exit_code_t;

/* Results of VDEM_INTERFACE_post_iq_packet(). */
typedef enum {
    VDEM_INTERFACE_POST_IQ_PKT_OK = 0,
    VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE = 1
} vdem_post_iq_pkt_code_t;

/* Results of the VDEM_INTERFACE_cb_register_*() functions. */
typedef enum {
    VDEM_CB_REGISTER_OK = 0,
    VDEM_CB_REGISTER_WRONG_POINTER = 1
} vdem_cb_register_code_t;

/* Smallest error_msg buffer that VDEM_INTERFACE_init() may write to: the
 * longest message, the usage line, is 53 characters, its newline and NUL. */
#define VDEM_INTERFACE_ERROR_MSG_SIZE 55

/* Receives the NUL-terminated version string. */
typedef char vdem_interface_version_t[20];

/* ---- Demodulator: reported records ------------------------------------ */

typedef enum { VDEM_PROTO_FRAME_V1 = 0 } vdem_proto_frame_protocol_t;

/* Flags of a first-version uplink frame. */
typedef struct {
    uint8_t ack; /* acknowledgement-request bit */
    uint8_t oob; /* 1 for an out-of-band frame */
    uint8_t seq; /* repetition number, 1 to 3 */
} vdem_proto_frame_v1_t;

typedef struct {
    int32_t dummy;
} vdem_proto_frame_vx_t;

typedef union {
    vdem_proto_frame_v1_t v1;
    vdem_proto_frame_vx_t vx; /* not used by this library */
} vdem_proto_frame_f_t;

/* One decoded uplink frame. */
typedef struct {
    int32_t sampleTimeStamp;              /* sample counter (wraps, 32 bits) when reported */
    float snr;                            /* dB, at most 50 */
    float rssi;                           /* dB, after subtraction of int_gain */
    int32_t freq;                         /* Hz, relative to the centre of the sampled band */
    uint32_t tid;                         /* transmitter identifier */
    vdem_proto_frame_f_t f;               /* v1: ack, oob, seq; fourth byte always 0 */
    uint8_t frame[27];                    /* length covered bytes, then the 2 check bytes */
    uint8_t length;                       /* covered bytes: 8, 9, 12, 16 or 20 */
    vdem_proto_frame_protocol_t protocol; /* always VDEM_PROTO_FRAME_V1 */
} vdem_proto_frame_t;

/* Frame container handed to the frame callback. */
typedef struct {
    vdem_proto_frame_t pframe[1];
    uint8_t entries; /* valid frames in pframe: always 1 */
} vdem_frame_cont_t;

/* RF-saturation report. */
typedef struct {
    float rssi;        /* mean power of the bit period in dB, minus int_gain */
    int32_t timestamp; /* sample counter at that moment */
} vdem_rfsat_t;

/* Error record (defined for the callback type; the library never reports one). */
typedef struct {
    uint32_t type;
    char msg[64];
} vdem_error_t;

/* ---- Demodulator: callbacks ------------------------------------------- */

typedef void (*fdata_exit_fct_ptr)(vdem_frame_cont_t *cont, const void *userdata);
typedef void (*error_exit_fct_ptr)(vdem_error_t *err, const void *userdata);
typedef void (*rfsat_exit_fct_ptr)(vdem_rfsat_t *rfsat, const void *userdata);

/* ---- Demodulator: entry points ---------------------------------------- */

/* Starts the instance. On failure writes a one-line message (with its
 * newline) into error_msg, which must hold VDEM_INTERFACE_ERROR_MSG_SIZE
 * bytes, and returns the code of the first failing check. */
VDEM_EXPORT int32_t VDEM_INTERFACE_init(vdem_interface_config_t *config, char *error_msg);

/* Stops the instance, frees its buffers and resets the callbacks to the
 * do-nothing defaults. Valid in any state; returns 0. */
VDEM_EXPORT int32_t VDEM_INTERFACE_terminate(void);

VDEM_EXPORT void VDEM_INTERFACE_get_version(vdem_interface_version_t *version);

/* Samples per packet of the running instance: 15360 at 100 bit/s, 2560 at
 * 600 bit/s. Returns 0 when no instance is running. */
VDEM_EXPORT int32_t VDEM_INTERFACE_get_iq_packet_size(void);

/* Processes one packet of nbSamples interleaved I/Q pairs (signed 16-bit,
 * in-phase first). The sample counter advances by nbSamples even when the
 * size is refused. Returns a vdem_post_iq_pkt_code_t value; while no instance
 * is running every packet is refused with VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE. */
VDEM_EXPORT int32_t VDEM_INTERFACE_post_iq_packet(short *samplebuf, int nbSamples);

/* Registration stores (ptr, userdata). A null ptr terminates the instance and
 * returns VDEM_CB_REGISTER_WRONG_POINTER. */
VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_fdata_exit_fct(fdata_exit_fct_ptr ptr,
                                                              const void *userdata);
VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_error_exit_fct(error_exit_fct_ptr ptr,
                                                              const void *userdata);
VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_rfsat_exit_fct(rfsat_exit_fct_ptr ptr,
                                                              const void *userdata);

/* Puts the three do-nothing callbacks back; the userdata pointers stay. */
VDEM_EXPORT void VDEM_INTERFACE_cb_register_reset(void);

/* ---- Downlink frame builder ------------------------------------------- */

/* Downlink request. */
typedef struct {
    uint8_t payload[8];
    uint16_t aes_out; /* authentication code, high byte sent first */
    uint16_t seq;     /* sequence number of the exchange */
    uint32_t tstid;   /* transmitter identifier of the addressed device */
} vdem_dl_specs_t;

/* The 28 bytes the card transmits: 11 x 0xAA, 0xB2 0x27, then the whitened
 * block of BCH parity (4), payload (8), code (2) and CRC-8 (1). */
typedef struct {
    uint8_t byte[28];
} vdem_dl_frame_t;

/* Builds the frame for specs into frame (all 28 bytes written). Stateless and
 * callable from any thread; returns 0. */
VDEM_EXPORT int32_t vdem_build_dl_frame(vdem_dl_specs_t *specs, vdem_dl_frame_t *frame);

#ifdef __cplusplus
}
#endif

#endif /* VDEM_VDEM_H */
