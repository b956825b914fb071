/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <glib.h>
#include <kvrproto/kvrproto-export.h>

G_BEGIN_DECLS

/* Errors of the library: the domain is the integer 1 itself, not a registered quark. */
#define KVRPROTO_ERRDOM ((GQuark)1)

typedef enum {
    KVRPROTO_ERR = 0,
    KVRPROTO_ERR_OOM = 1,
    KVRPROTO_ERR_BADFORMAT = 2,
    KVRPROTO_ERR_BADLENGTH_PAYLOAD = 3,
    KVRPROTO_ERR_UNKNOWN_VERSION = 4,
    KVRPROTO_ERR_ENCRYPT_PAYLOAD = 5,
    KVRPROTO_ERRCODE_MAX = 6
} kvrprotoErrorCode;

/* Values of the layout tag kvrframe.v. Bit 0x40 marks a downlink record. */
#define KVRPROTO_VERSION_V0 0x01
#define KVRPROTO_VERSION_V1 0x02
#define KVRPROTO_VERSION_V1_DLK 0x42
#define KVRPROTO_VERSION_DLK_BIT 0x40

/* The records below are C only in the introspection data: their packed bit
 * fields and anonymous union have no introspected layout. Other languages use
 * the frame objects (kvrproto-frame-gen.h), which own a record each. */

/**
 * kvrframe_v0: (skip)
 *
 * First-version uplink frame (v = 1).
 */
typedef struct {
    guint16 tid;   /* transmitter identifier */
    guint8 ph;     /* protocol header byte */
    guint8 data_s; /* valid bytes in data */
    guint8 data[12];
    gfloat freq; /* frequency offset, Hz */
    gfloat snr;  /* dB */
    gfloat rssi; /* dB */
    gint64 timestamp;
} kvrframe_v0;

/* The uplink frame as the device sends it, over the 20 data bytes of
 * kvrframe_v1: a 6-byte header, the payload, then its authentication code.
 * Byte 0 holds, from its most significant bit down, lg (2 bits), ack, res and
 * seq_hi (4 bits). tid is stored least significant byte first: read it with
 * kvrproto_get_tstid() to stay independent of the host's byte order. */
#if defined(__GNUC__) || defined(__clang__)
#define KVRPROTO_PACKED __attribute__((packed))
#else
#error "kvrframe_v1_layout needs a packed structure attribute"
#endif
/**
 * kvrframe_v1_layout: (skip)
 */
typedef struct KVRPROTO_PACKED {
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
    guint seq_hi : 4;
    guint res : 1;
    guint ack : 1;
    guint lg : 2;
#else
    guint lg : 2;
    guint ack : 1;
    guint res : 1;
    guint seq_hi : 4;
#endif
    guint8 seq_lo;
    guint32 tid;
    guint8 data[14];
} kvrframe_v1_layout;

/**
 * kvrframe_v1: (skip)
 *
 * Current uplink frame (v = 2).
 */
typedef struct {
    guint8 seq; /* repetition number */
    guint8 oob; /* out-of-band flag */
    guint8 frame_length;
    guint8 data_s; /* valid bytes in data */
    union {
        guint8 data[20];
        kvrframe_v1_layout p;
    };
    gfloat freq;
    gfloat snr;
    gfloat rssi;
    /* 100 or 600 when the receiver that decoded the frame told; 0 otherwise
     * (the FDATA_V1 line does not carry it). It sits where the layout had
     * padding before the time stamp, so no other field moved. */
    guint32 bit_rate;
    gint64 timestamp;
} kvrframe_v1;

/**
 * kvrframe_v1_dlk: (skip)
 *
 * Current downlink frame (v = 0x42).
 */
typedef struct {
    guint32 mode;
    gfloat slot;
    gfloat freq;
    gfloat power;
    guint8 ext; /* extension flag: 0 or 1 from a TXDATA_V1 line, 0 to 255 through "ext" */
    guint16 seq;
    guint32 tid;
    guint8 data_s;
    guint8 data[8];
    guint8 hmac[2];
    gint64 timestamp;
} kvrframe_v1_dlk;

/**
 * kvrframe: (skip)
 *
 * The one frame record of the system. Allocate it with kvrproto_alloc_frame()
 * (zero-filled) and release it with kvrproto_free_frame(). Hosts rely on this
 * layout.
 */
typedef struct {
    union {
        kvrframe_v0 v0;
        kvrframe_v1 v1;
        kvrframe_v1_dlk v1dlk;
    } f;
    guint8 v; /* layout tag: KVRPROTO_VERSION_* */
    /* Of a current uplink frame (v = 2) that the receiver recovered only by decoding
     * the repetitions of its message together: those that went into it, bit n - 1
     * for repetition n (0x5 for 1 and 3); 0 for a frame decoded alone and for every
     * other record (no line carries it). It sits where the record had padding, so
     * no other field moved. */
    guint8 combined;
} kvrframe;

/**
 * kvrproto_fdata_parse: (skip)
 *
 * Parses an FDATA or FDATA_V1 line. On success *frame receives a new record;
 * on failure *frame (when given) is set to NULL.
 */
KVRPROTO_EXPORT gboolean kvrproto_fdata_parse(const gchar *line, kvrframe **frame, GError **error);
/**
 * kvrproto_fdata_to_string: (skip)
 *
 * The FDATA (v = 1) or FDATA_V1 (v = 2) line of @frame, without line terminator.
 */
KVRPROTO_EXPORT gchar *kvrproto_fdata_to_string(const kvrframe *frame, GError **error);

/**
 * kvrproto_txdata_parse: (skip)
 *
 * Parses a TXDATA_V1 line.
 */
KVRPROTO_EXPORT gboolean kvrproto_txdata_parse(const gchar *line, kvrframe **frame, GError **error);
/**
 * kvrproto_txdata_to_string: (skip)
 *
 * The TXDATA_V1 line of a downlink record (v = 0x42).
 */
KVRPROTO_EXPORT gchar *kvrproto_txdata_to_string(const kvrframe *frame, GError **error);

/**
 * kvrproto_to_string: (skip)
 *
 * The line of any record: downlink when bit 0x40 of v is set, else uplink.
 */
KVRPROTO_EXPORT gchar *kvrproto_to_string(const kvrframe *frame, GError **error);

/**
 * kvrproto_alloc_frame: (skip)
 */
KVRPROTO_EXPORT kvrframe *kvrproto_alloc_frame(void);
/**
 * kvrproto_free_frame: (skip)
 */
KVRPROTO_EXPORT void kvrproto_free_frame(kvrframe *frame);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(kvrframe, kvrproto_free_frame)

/**
 * kvrproto_get_tstid: (skip)
 *
 * The transmitter identifier of an uplink record; 0 with an error otherwise.
 */
KVRPROTO_EXPORT guint32 kvrproto_get_tstid(const kvrframe *frame, GError **error);

G_END_DECLS
