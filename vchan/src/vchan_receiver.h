/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* One receiver: the sample ring, a bank, candidate list and demodulator per bit
 * rate, and the frames decoded but not yet due for their report. */
#pragma once

#include "vchan_bank.h"
#include "vchan_candidates.h"
#include "vchan_cancel.h"
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
    int packet_size() const { return (rates_ & VCHAN_RATE_100BPS) ? 15360 : 2560; }

    fdata_exit_fct_ptr on_frame = nullptr;
    const void *frame_data = nullptr;
    rfsat_exit_fct_ptr on_saturation = nullptr;
    const void *saturation_data = nullptr;

  private:
    struct Rate {
        Rate(int rate, float int_gain)
            : bank(rate), candidates(rate), demod(rate, int_gain), canceller(rate)
        {
        }
        Bank bank;
        CandidateList candidates;
        Demod demod;
        Canceller canceller;
    };
    struct Held {
        Decoded frame;
        uint64_t due; /* the sample whose posting makes the report due */
        bool reported;
        bool subtracted; /* taken out of the ring once decoded */
    };

    void on_chunk_end();
    bool decode(Rate &chain, const Candidate &c, Decoded &d);
    void take(const Decoded &d, bool subtracted);
    bool covered(const Candidate &c, int rate) const;
    bool cleaned(const Candidate &c, int rate) const;
    bool masked(const Candidate &c, int rate) const;
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
};

} // namespace vchan
