/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Writes from the card's transfers, and their times. */
#include "assembler.h"

#include <cstring>

namespace vekbs
{
namespace
{

gint64 samples_us(guint64 samples)
{
    return static_cast<gint64>(samples * G_USEC_PER_SEC / kSampleRate);
}

} // namespace

void StreamAssembler::restart(gsize write_bytes)
{
    buffer_.assign(write_bytes, 0);
    fill_ = slot_offset_ = 0;
    first_ = next_ = 0;
    anchored_ = false;
    anchor_us_ = 0;
}

gint64 StreamAssembler::time_us() const
{
    return anchor_us_ + samples_us(first_);
}

guint64 StreamAssembler::take_gap_samples()
{
    const guint64 n = gap_samples_;
    gap_samples_ = 0;
    return n;
}

StreamAssembler::Step StreamAssembler::step(RxQueue &queue)
{
    for (;;) {
        const RxQueue::Slot *slot = queue.front();
        if (slot == nullptr || buffer_.empty())
            return Step::Empty;
        const guint64 position = slot->first_sample + slot_offset_ / kBytesPerSample;
        if (!anchored_) {
            anchor_us_ =
                slot->received_us - samples_us(slot->first_sample + slot->length / kBytesPerSample);
            anchored_ = true;
            next_ = position;
        }
        if (end_sample_ != 0 && position >= end_sample_)
            return Step::End;
        const guint64 expected = fill_ > 0 ? first_ + fill_ / kBytesPerSample : next_;
        if (position != expected) {
            /* Transfers were dropped: the write in progress ends at the gap. */
            gap_samples_ += position - expected;
            next_ = position;
            if (fill_ > 0)
                return Step::Write;
        }
        if (fill_ == 0)
            first_ = position;
        gsize n = MIN(slot->length - slot_offset_, buffer_.size() - fill_);
        if (end_sample_ != 0)
            n = MIN(n, static_cast<gsize>(end_sample_ - position) * kBytesPerSample);
        std::memcpy(buffer_.data() + fill_, slot->bytes.data() + slot_offset_, n);
        fill_ += n;
        slot_offset_ += n;
        next_ = position + n / kBytesPerSample;
        if (slot_offset_ == slot->length) {
            queue.pop();
            slot_offset_ = 0;
        }
        const bool at_end = end_sample_ != 0 && first_ + fill_ / kBytesPerSample >= end_sample_;
        if (fill_ == buffer_.size() || at_end)
            return Step::Write;
    }
}

} // namespace vekbs
