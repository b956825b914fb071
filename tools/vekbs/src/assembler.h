/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The card path's stream reassembly and clock anchoring: the card's
 * transfers, numbered by sample, become the wrapper's writes. */
#pragma once

#include <vector>

#include "card.h"

namespace vekbs
{

/* Each write holds up to the advised length of contiguous samples; it ends
 * early at a gap (transfers the hand-over dropped) or at the end of the
 * signal. Its time is that of its first sample on the wall clock, from one
 * anchor per stream: the arrival of the stream's first transfer, less the
 * signal up to that transfer's last sample. Allocates only in restart(). */
class StreamAssembler
{
  public:
    enum class Step {
        Empty, /* the queue has nothing more: wait for the card */
        Write, /* a write is ready: hand it over, then written() */
        End,   /* the next sample lies past the end of the signal */
    };

    /* @end_sample: the stream position where the signal ends, 0 for none. */
    explicit StreamAssembler(guint64 end_sample = 0) : end_sample_(end_sample) {}
    /* A new stream, written in writes of @write_bytes: no anchor, nothing held. */
    void restart(gsize write_bytes);
    /* Moves samples from @queue into the write buffer. */
    Step step(RxQueue &queue);

    /* The write that is ready, or what is held (at a flush). */
    const guint8 *data() const { return buffer_.data(); }
    gsize size() const { return fill_; }
    guint64 first_sample() const { return first_; }
    /* Unix time of the write's first sample, in microseconds. */
    gint64 time_us() const;
    bool holding() const { return fill_ > 0; }
    /* The write was handed over: the buffer is free again. */
    void written() { fill_ = 0; }

    bool anchored() const { return anchored_; }
    /* Unix time of the stream's sample 0, in microseconds. */
    gint64 anchor_us() const { return anchor_us_; }
    /* Samples lost at gaps since the last call. */
    guint64 take_gap_samples();

  private:
    guint64 end_sample_;
    std::vector<guint8> buffer_;
    gsize fill_ = 0;
    gsize slot_offset_ = 0; /* bytes of the queue's front slot already taken */
    guint64 first_ = 0;     /* stream position of buffer_[0] */
    guint64 next_ = 0;      /* position the next sample should have */
    bool anchored_ = false;
    gint64 anchor_us_ = 0;
    guint64 gap_samples_ = 0;
};

} // namespace vekbs
