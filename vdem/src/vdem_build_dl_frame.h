/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Pieces of the downlink frame builder. */
#pragma once

#include <stdint.h>

/* CRC-8, polynomial 0x2F, initial value 0, over 10 bytes. */
uint8_t crc_compute(const uint8_t *data);
/* Parity r0..r3 (bits 0..3) of one BCH(15,11) codeword m0..m10. */
uint8_t encode_bch_sub(const uint8_t m[11]);
/* Eight interleaved codewords, one per bit position of the 11 data bytes. */
void encode_bch(const uint8_t data[11], uint8_t parity[4]);
/* Advances the 9-bit PN9 register (x^9 + x^5 + 1) by 8 steps. */
uint32_t Next_Pn9(uint32_t state);
