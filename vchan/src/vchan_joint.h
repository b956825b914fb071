/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Joint decoding of the repetitions of one message. Repetition 1 carries the
 * message bits o(n), repetition 2 o(n) + o(n-1) + o(n-2), repetition 3 o(n) +
 * o(n-2) (modulo 2): together one rate-1/3 convolutional code of 4 states, spread
 * over three frames. Each frame is differentially encoded on its own carrier, so
 * every repetition adds a sign of its own to the state: the trellis has 4 x 2^m
 * states for m repetitions, whose branches are scored with each repetition's
 * coherent soft values (see vchan_combine.h for where they come from). */
#pragma once

#include "vchan_common.h"

#include <vector>

namespace vchan
{

/* The soft values of one repetition, symbol by symbol from the reference symbol
 * on: @value[k] is the symbol's real part against the repetition's phase
 * reference in units of the noise's standard deviation, @weight turns it into a
 * log-likelihood ratio (twice the amplitude over that deviation). */
struct SoftStream {
    const float *value;
    float weight;
    int seq;        /* repetition, 1 to 3 */
    int row;        /* frame type, whose pattern the header carries */
    float polarity; /* sense of differential encoding, +1 or -1 */
};

class JointDecoder
{
  public:
    JointDecoder();

    /* The most likely message of @coded_bytes bytes (covered bytes and check) sent
     * as the @n repetitions @streams (1 to 3, each a different one, with 41 + 8
     * @coded_bytes symbols), into @bits (one bit, 0 or 1, per byte: 8 @coded_bytes
     * of them). The header's symbols are known and anchor each repetition's sign;
     * the frame is not terminated. */
    void decode(const SoftStream *streams, int n, int coded_bytes, uint8_t *bits);
    /* How well the repetition @s agrees with @bits: its soft values' correlation
     * with the symbols they give, over the square root of the symbols' count, so
     * that noise gives about a standard normal value (up to the sign of the
     * phase reference, which it ignores). */
    static float agreement(const SoftStream &s, int coded_bytes, const uint8_t *bits);
    /* The message's bytes from @bits into @message (@coded_bytes of them), and
     * whether its frame check holds. */
    static bool check(const uint8_t *bits, int coded_bytes, uint8_t *message);
    /* The symbol signs (+1, -1) of repetition @seq with @polarity and frame type
     * @row that carry @bits, from the reference symbol (+1) on: 41 + 8
     * @coded_bytes of them into @signs. */
    static void symbols(int seq, int row, float polarity, int coded_bytes, const uint8_t *bits,
                        float *signs);

  private:
    std::vector<uint32_t> choices_; /* per coded bit, the survivor's oldest bit per state */
};

/* The header's symbol signs from the reference symbol (+1) on for frame type @row
 * and @polarity, 1 + kHeaderBits of them into @signs. */
void header_signs(int row, float polarity, float *signs);

/* The coded bits of repetition @seq (1 to 3) from the message bits @bits (@n of them),
 * into @coded. */
void encode_repetition(int seq, const uint8_t *bits, int n, uint8_t *coded);

} // namespace vchan
