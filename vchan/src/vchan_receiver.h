/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* One receiver: the sample ring, a bank, candidate list and demodulator per bit
 * rate, and the frames decoded but not yet due for their report. */
#pragma once

#include "vchan_bank.h"
#include "vchan_candidates.h"
#include "vchan_cancel.h"
#include "vchan_combine.h"
#include "vchan_deep.h"
#include "vchan_demod.h"
#include "vchan_frontend.h"

#include <vchan/vchan.h>

#include <memory>
#include <vector>

namespace vchan
{

class Receiver
{
  public:
    Receiver(uint32_t rates, float int_gain);
    bool ok() const;
    void post(const short *samples, int n);
    /* The bit rate of the frame being reported, 0 outside the frame callback. */
    int reporting_rate() const { return reporting_rate_; }
    /* The repetitions combined into the frame being reported (bit n - 1 for
     * repetition n), 0 for a frame decoded alone and outside the frame callback. */
    uint32_t reporting_repetitions() const { return reporting_repetitions_; }
    /* Turns repetition combining on (as made) or off; off forgets what it kept. */
    void set_combining(bool on);
    int packet_size() const { return (rates_ & VCHAN_RATE_100BPS) ? 15360 : 2560; }

    fdata_exit_fct_ptr on_frame = nullptr;
    const void *frame_data = nullptr;
    rfsat_exit_fct_ptr on_saturation = nullptr;
    const void *saturation_data = nullptr;

  private:
    struct Rate {
        Rate(int rate, float int_gain)
            : bank(rate), candidates(rate), deep(rate), demod(rate, int_gain), canceller(rate),
              combiner(rate, int_gain)
        {
        }
        Bank bank;
        CandidateList candidates;
        DeepList deep;
        Demod demod;
        Canceller canceller;
        Combiner combiner;
        SoftFrame soft; /* of the last demodulation */
    };
    /* A message that combining recovered, waiting for its report. */
    struct Pending {
        Combined message;
        uint64_t due;
    };
    /* What was reported lately, so that a message is not reported again by
     * combining: its rate, length, band and bytes. */
    struct Recent {
        uint64_t until; /* kept until this sample */
        int rate;
        uint8_t length, oob;
        uint8_t bytes[kMaxCodedBytes];
    };
    struct Held {
        Decoded frame;
        uint64_t due; /* the sample whose posting makes the report due */
        bool reported;
        bool subtracted; /* taken out of the ring once decoded */
    };

    void on_chunk_end();
    bool decode(Rate &chain, const Candidate &c, Decoded &d);
    /* Hands what the last demodulation kept of its frame to combining. */
    void combine(Rate &chain);
    /* Tests the headers of the detections kept only for combining, and hands those
     * whose frame is in to combining. */
    void run_deep(Rate &chain);
    bool reported_lately(int rate, const vdem_proto_frame_t &f) const;
    void remember(int rate, const vdem_proto_frame_t &f);
    void deliver(const vdem_proto_frame_t &f, int rate, uint32_t repetitions);
    void take(const Decoded &d, bool subtracted);
    bool covered(const Candidate &c, int rate) const;
    bool cleaned(const Candidate &c, int rate) const;
    bool masked(const Candidate &c, int rate) const;
    bool on_carrier(const Candidate &c, float threshold) const;
    void report_due();

    uint32_t rates_;
    float int_gain_;
    /* Zeroed, and so paged in, when the receiver is made, so that posting does not
     * pay for first touches: what is read of the times before the first sample must
     * be zero. */
    std::vector<cf> ring_;
    uint64_t counter_ = 0;
    /* Carriers, clicks and overload taken out of the ring; the samples before clean_
     * (FrontEnd::kDelay behind counter_) are final, and what runs on the ring runs
     * up to there. */
    FrontEnd front_;
    uint64_t clean_ = 0;
    double power_ = 0.0; /* of the current 320 samples, for the saturation check */
    std::vector<std::unique_ptr<Rate>> chains_;
    /* Decoded frames, waiting for their report and then kept a while to recognise
     * the same frame found again; fixed capacity. */
    std::vector<Held> held_;
    size_t n_held_ = 0;
    int reporting_rate_ = 0;
    uint32_t reporting_repetitions_ = 0;
    bool combining_ = true;
    std::vector<Pending> pending_; /* fixed capacity */
    size_t n_pending_ = 0;
    std::vector<Recent> recent_; /* fixed capacity */
    size_t n_recent_ = 0;
};

} // namespace vchan
