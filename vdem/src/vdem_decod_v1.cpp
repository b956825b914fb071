/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Uplink bit decoder. Each decoder keeps the last 208 decisions; a frame is
 * evaluated when its 13-bit type pattern leaves that ring, at which point the
 * frame's data bits are exactly the ring's content, oldest first. */
#include <string.h>

#include "vdem_decod_v1.h"
#include "vdem_process.h"

const frame_sync_t fstab[VDEM_DECOD_V1_NFSTAB] = {
    {0x06B, 15, 1, 1, 0}, {0x6E0, 15, 2, 1, 0},  {0x034, 15, 3, 1, 0}, {0x08D, 16, 1, 1, 0},
    {0x0D2, 16, 2, 1, 0}, {0x302, 16, 3, 1, 0},  {0x35F, 19, 1, 1, 0}, {0x598, 19, 2, 1, 0},
    {0x5A3, 19, 3, 1, 0}, {0x611, 23, 1, 1, 0},  {0x6BF, 23, 2, 1, 0}, {0x72C, 23, 3, 1, 0},
    {0x94C, 27, 1, 1, 0}, {0x971, 27, 2, 1, 0},  {0x997, 27, 3, 1, 0}, {0xF67, 23, 1, 1, 1},
    {0xFC9, 23, 2, 1, 1}, {0x11BE, 23, 3, 1, 1},
};
const int nfstab = VDEM_DECOD_V1_NFSTAB;

frame_sync_t frame_sync_lut[VDEM_DECOD_V1_LUT_SIZE];

/* De-multiplexing coefficients (p0, p1, p2) per repetition 1, 2, 3. */
static const uint8_t polys[3][3] = {{1, 0, 0}, {1, 1, 1}, {1, 0, 1}};

/* Longest frame: 27 bytes, of which 22 follow the preamble and type. */
#define MAX_DATA_LEN 22
#define FRAME_BYTES 27

void VDEM_DECOD_V1_crc_init(void)
{
    memset(frame_sync_lut, 0, sizeof frame_sync_lut);
    for (int i = 0; i < nfstab; i++)
        frame_sync_lut[fstab[i].pattern & 0x1FFF] = fstab[i];
}

uint16_t vdem_decod_v1_crc16(const uint8_t *data, int len)
{
    uint16_t crc = 0;
    for (int i = 0; i < len; i++) {
        crc ^= (uint16_t)(data[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return (uint16_t)~crc;
}

int32_t process_demux_and_crc_check_v1(int seqNb, int data_len, int frameLen, const uint8_t *data,
                                       uint8_t *demux_data)
{
    if (seqNb < 1 || seqNb > 3 || frameLen < 7 || data_len < frameLen - 5)
        return 0;
    const uint8_t *p = polys[seqNb - 1];
    unsigned d1 = 0, d2 = 0;
    for (int i = 0; i < data_len; i++) {
        uint8_t out_byte = 0;
        for (int bit = 7; bit >= 0; bit--) {
            unsigned c = (data[i] >> bit) & 1u;
            unsigned out = (p[0] * c + p[1] * d1 + p[2] * d2) & 1u;
            d2 = d1;
            d1 = out;
            out_byte |= (uint8_t)(out << bit);
        }
        demux_data[i] = out_byte;
    }
    int covered = frameLen - 7;
    uint16_t expected = (uint16_t)(demux_data[covered] << 8 | demux_data[covered + 1]);
    return vdem_decod_v1_crc16(demux_data, covered) == expected ? 1 : 0;
}

static void demux_and_crc_check_v1(const frame_sync_t *row, const uint8_t *data, int data_len,
                                   vdem_thread_demod_t *td)
{
    uint8_t demux_data[FRAME_BYTES] = {0};
    if (!process_demux_and_crc_check_v1(row->sequence_number, data_len, row->frame_length, data,
                                        demux_data))
        return;
    vdem_proto_frame_t *pf = &td->pf;
    pf->tid = (uint32_t)data[2] | (uint32_t)data[3] << 8 | (uint32_t)data[4] << 16 |
              (uint32_t)data[5] << 24;
    pf->length = (uint8_t)(row->frame_length - 7);
    pf->f.v1.seq = (uint8_t)row->sequence_number;
    pf->f.v1.oob = row->oob;
    pf->f.v1.ack = (data[0] >> 4) & 1;
    memcpy(pf->frame, demux_data, FRAME_BYTES);
    td->count++;
}

int32_t VDEM_DECOD_V1_fl(vdem_thread_frame_est_t *framePtr, uint8_t bit, vdem_thread_demod_t *td)
{
    vdem_thread_decod_ctx_t *d = &td->decod[framePtr->binNr & 1];
    int32_t status = VDEM_DECOD_V1_NOTHING;
    bit &= 1;

    d->frame_sync = (uint16_t)(d->frame_sync << 1 | d->bit_buffer[d->bit_buf_idx]);
    d->bit_buffer[d->bit_buf_idx] = bit;
    d->frame_hdr = (uint16_t)(d->frame_hdr << 1 | bit);
    if (frame_sync_lut[d->frame_hdr & 0x1FFF].active)
        status = VDEM_DECOD_V1_PATTERN;
    if (++d->bit_buf_idx >= VDEM_DECOD_V1_RING)
        d->bit_buf_idx = 0;

    const frame_sync_t *row = &frame_sync_lut[d->frame_sync & 0x1FFF];
    if (!row->active)
        return status;

    int data_len = row->frame_length - 5;
    framePtr->n_symbols = data_len * 8;
    uint8_t data[MAX_DATA_LEN];
    uint32_t pos = d->bit_buf_idx;
    for (int i = 0; i < data_len; i++) {
        uint8_t byte = 0;
        for (int b = 0; b < 8; b++) {
            byte = (uint8_t)(byte << 1 | d->bit_buffer[pos]);
            if (++pos >= VDEM_DECOD_V1_RING)
                pos = 0;
        }
        data[i] = byte;
    }
    demux_and_crc_check_v1(row, data, data_len, td);
    return VDEM_DECOD_V1_EVALUATED;
}
