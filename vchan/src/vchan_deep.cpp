/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Detections kept only for combining. */
#include "vchan_deep.h"

#include "vchan_demod.h"

#include <cmath>
#include <cstdlib>

namespace vchan
{

namespace
{
/* Detections of one frame lie within the demodulator's timing search of each
 * other, and within a bit rate and a half. */
constexpr int kMergeBits = 3;
constexpr double kMergeRates = 1.5;
/* The header's last bit, the alignments tried after the start, and the hop. */
constexpr int kHeaderDueBits = 1 + kHeaderBits + 4;
} // namespace

DeepList::DeepList(int rate)
    : bit_(samples_per_bit(rate)), merge_hz_(kMergeRates * rate), items_(kMaxDeep)
{
}

void DeepList::add(const Candidate &c)
{
    put(c, false);
}

void DeepList::put(const Candidate &c, bool tested)
{
    for (size_t i = 0; i < count_; i++) {
        Item &o = items_[i];
        if (o.tested == tested && std::fabs(o.c.freq - c.freq) <= merge_hz_ &&
            std::llabs(o.c.start - c.start) <= int64_t(kMergeBits) * bit_) {
            if (c.metric > o.c.metric)
                o.c = c;
            return;
        }
    }
    if (count_ == items_.size()) {
        dropped_++;
        return;
    }
    items_[count_++] = Item{c, tested};
}

bool DeepList::pop_untested(uint64_t now, Candidate &c)
{
    for (size_t i = 0; i < count_; i++)
        if (!items_[i].tested &&
            items_[i].c.start + int64_t(kHeaderDueBits) * bit_ <= int64_t(now)) {
            c = items_[i].c;
            items_[i] = items_[--count_];
            return true;
        }
    return false;
}

void DeepList::keep(const Candidate &c)
{
    put(c, true);
}

bool DeepList::pop_ready(uint64_t now, Candidate &c)
{
    for (size_t i = 0; i < count_; i++)
        if (items_[i].tested &&
            items_[i].c.start + int64_t(kMaxSymbols + kSoftTail + 2) * bit_ <= int64_t(now)) {
            c = items_[i].c;
            items_[i] = items_[--count_];
            return true;
        }
    return false;
}

} // namespace vchan
