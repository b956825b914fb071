/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Extraction, demodulation and measurement of one detected frame: the raw samples
 * are mixed to the candidate's bin and summed into sixteen slices per bit; the
 * header fixes frequency, sense and timing; each bit is decided differentially
 * after the matched filter; the coded bits are checked as libvdem checks them. */
#pragma once

#include "vchan_common.h"
#include "vchan_track.h"

#include <vdem/vdem.h>

#include <array>
#include <limits>
#include <vector>

namespace vchan
{

struct Decoded {
    vdem_proto_frame_t record; /* everything but sampleTimeStamp */
    int64_t start;             /* first sample of the reference symbol */
    int symbols;               /* symbols on the air */
    int rate;
    double carrier; /* Hz, unrounded, for the canceller */
    float polarity; /* sense of encoding of Demod::bits() at that carrier */
};

/* A demodulated frame as combining keeps it: every frame whose header was found
 * and tells its type, decoded or not. */
/* Symbols kept before the header's fix and after the longest frame: at low Eb/N0
 * the search that finds a frame takes an alignment up to some ten bits late now
 * and then, or a few early. */
constexpr int kSoftLead = 10;
constexpr int kSoftTail = 3;
constexpr int kSoftSymbols = kSoftLead + kMaxSymbols + kSoftTail;
struct SoftFrame {
    /* The matched filter's output per symbol, symbol k of the header's fix at
     * y[k + kSoftLead]; those from @first to @last (exclusive) were in the ring. */
    cf y[kSoftSymbols];
    uint8_t bits[8 * kMaxCodedBytes]; /* a frame decoded alone: its code bits */
    int first, last;
    int64_t start;  /* first sample of the reference symbol */
    double carrier; /* Hz */
    float noise;    /* mean |y|^2 of noise */
    int symbols;    /* of the frame type found */
    int row;        /* frame type */
    float polarity;
    bool decoded; /* it passed its frame check on its own */
    bool valid;
    /* Set instead of valid when the header held only well enough for combining:
     * keep_soft() with @fix keeps the symbols. */
    bool wanted;
    HeaderFix fix;
    uint64_t limit; /* set by the caller: the first sample not in the ring yet */
};

class Demod
{
  public:
    Demod(int rate, float int_gain);
    /* Demodulates the frame that @c announces from the sample ring; TRUE with @out
     * filled when a frame passes its check. With @soft, a frame whose header held
     * has its symbols or bits kept there (soft->valid), whether or not it passes;
     * one whose header held only well enough for combining is marked wanted. */
    bool decode(const cf *ring, const Candidate &c, Decoded &out, SoftFrame *soft = nullptr);
    /* The symbols of @c's frame, whose header @h found, into @soft (the buffers of
     * the demodulation are used): from a few bits before to a few after the
     * longest frame, as much as soft.limit allows. */
    void keep_soft(const cf *ring, const Candidate &c, const HeaderFix &h, SoftFrame &soft);
    /* For a detection kept only for combining: @c's header searched and tested as
     * for @soft in decode(), and its symbols kept there; never decoded alone. TRUE
     * when kept. */
    bool keep_only(const cf *ring, const Candidate &c, SoftFrame &soft);
    /* The header search alone, once @c's header is in the ring (44 bits after its
     * start): fills c.header, which decode() then takes instead of searching again
     * (it must be cleared if the ring changes over the header meanwhile). TRUE when
     * a header was found. */
    bool peek(const cf *ring, Candidate &c);
    /* The part of @c's frame that is in the ring before sample @end, from its
     * header fix (c.header.symbols > 0) without measurement: the symbols wholly in,
     * less @guard samples at the end, decided into bits(); @out gets their start,
     * count, carrier and sense (not the record). FALSE when the header's decisions
     * do not hold or fewer than the header's symbols are in. */
    bool decide_known(const cf *ring, const Candidate &c, int64_t end, int guard, Decoded &out);
    /* The bits decided by the last successful decode() or decide_known(). */
    const uint8_t *bits() const { return bits_.data(); }

  private:
    /* decode() with @c's timing as detected. */
    bool decode_at(const cf *ring, const Candidate &c, Decoded &out, SoftFrame *soft);
    /* Mixes @c's header and searches it over frequency, timing and frame type into
     * @h; FALSE (h.symbols -1) when nothing correlates well enough. */
    bool search(const cf *ring, const Candidate &c, HeaderFix &h, double min_correlation);
    /* The same on the slices in raw_. */
    bool search_mixed(HeaderFix &h, double min_correlation);
    /* Whether the header's decisions at @h have few enough errors. */
    bool header_holds(const HeaderFix &h, std::complex<double> &rot);
    /* Whether the header's decisions in bits_ match @h's known bits and frame type
     * closely enough for a frame decoded alone (its wrong bits counted for
     * soft_match()); soft_match(): for one kept only for combining. */
    bool header_matches(const HeaderFix &h);
    bool soft_match() const;
    bool check(int row, uint8_t *data, uint8_t *demux) const;
    double residual(const HeaderFix &h) const;
    /* The same from the slices decode() mixed from sample @first (@n_slices). */
    void keep_found(const HeaderFix &h, int64_t first, int n_slices, SoftFrame &soft);
    void strongest(int from, int to, int skip, int n, int &alias, int &timing) const;
    void finish_soft(const HeaderFix &h, int alias, SoftFrame &soft) const;
    /* Decisions on symbols @from to @to (exclusive) from sums 0 into bits_. */
    void decide(const HeaderFix &h, int from, int to);

    /* Running sums of the slices turned to one carrier, real and imaginary parts
     * apart so that neighbouring timings load side by side. */
    struct Sums {
        std::vector<float> re, im;
    };

    /* Slices @from to @to (exclusive) of the stretch from sample @first, mixed down
     * by @freq. */
    void mix(const cf *ring, int64_t first, double freq, int from, int to);
    /* The running sums of slices @from to @to (exclusive) turned by
     * @cycles_per_slice, into @out; @rot is the turn at slice @from (1 at 0), and
     * is left at @to, so that a later call continues where this one ended. */
    void derotate(double cycles_per_slice, int from, int to, Sums &out,
                  std::complex<double> &rot) const;
    void derotate_two(double cycles_a, double cycles_b, int to, Sums &a, Sums &b) const;
    bool follow(const HeaderFix &h, int n_symbols, int n_slices, double cycles, bool known);
    bool follow_header(const cf *ring, int64_t first, double freq, HeaderFix &h, double cycles,
                       int n_symbols, int max_errors, uint8_t *data, uint8_t *demux);
    void turn_along(int timing, int n_slices);
    void mix_rest(int n_slices);
    bool search_split(HeaderFix &h);
    int extent(int timing) const;
    double energy(int timing, int from, int to) const;
    bool ends(const HeaderFix &h, int n_slices) const;
    void refine(const HeaderFix &h, int timing, int step, int n_slices, double cycles);
    bool steady(int n) const;
    bool follow_split(const cf *ring, int64_t first, double freq, HeaderFix &h, uint8_t *data,
                      uint8_t *demux);
    enum StepKind { kCoarseStep, kFineStep, kSplitStep, kEndStep };
    /* The sum of within_ over symbols @from (at least 0) to @to (exclusive). */
    cf within_sum(int from, int to) const;
    /* The turn within a symbol of symbols @step to @n_symbols (exclusive) over that
     * of the kEndReference symbols before @step. */
    double end_turn(int n_symbols, int step) const;
    int invert_tail(const HeaderFix &h, uint8_t *data, uint8_t *demux);
    void step_tail(const HeaderFix &h, int step, int n_slices, double cycles);
    bool settle(HeaderFix &h, int n_symbols, int n_slices, int found, StepKind moving,
                int max_errors, uint8_t *data, uint8_t *demux);
    void lay_path(int n_symbols, int coarse_step, int fine_step);
    void derotate_path(double cycles, int timing, int to, Sums &out) const;
    /* The rssi that measure() gives at each timing of @from to @to (inclusive, at
     * least eight timings), into @rssi[timing - from]. */
    void sweep(const Sums &s, int from, int to, int n_symbols, double pol, float *rssi) const;
    double measure(const Sums &s, int timing, int n_symbols, double pol, Decoded &out) const;
    float rssi_of(cf mean) const;

    int rate_;
    int bit_;
    int slice_;
    float int_gain_;
    std::vector<cf> raw_;   /* slices mixed to the candidate's bin */
    std::vector<cf> mixed_; /* the same, kept while raw_ is turned along a path */
    /* Where the slices after the header are still to be mixed from (none: mixed). */
    struct Rest {
        const cf *ring = nullptr;
        int64_t first = 0;
        double freq = 0.0;
    } rest_;
    /* The header search's frequency hypotheses side by side: their carriers (one
     * table per rate, shared), the running sums and the symbol products, one row
     * per slice. */
    const float *head_turn_;
    std::vector<float> head_sum_, head_prod_;
    Sums sums_[3]; /* at the carrier found and half the bit rate either side */
    std::vector<uint8_t> bits_;
    std::vector<float> turn_re_, turn_im_; /* the carrier over one slice */
    /* The same, laid out for several slices at once, per sample eight times c,
     * then four times (-s, s). */
    std::vector<float> turn_wide_;
    /* Radians per sample of the tables above (none yet: not a number). */
    double turn_w_ = std::numeric_limits<double>::quiet_NaN();
    /* What the last search and header test found: the header correlation over its
     * energy, and the wrong pattern bits and header bits (pattern included). */
    double search_ratio_ = 0.0;
    /* How well the header search of the last decode_at() found a header that did
     * not hold: its correlation ratio, or the split search's (search_split()),
     * whichever is more; 0 when the header held. */
    double header_score_ = 0.0;
    double candidate_freq_ = 0.0; /* of the candidate being demodulated */
    int pattern_errors_ = 0;
    int header_errors_ = 0;
    /* A carrier that moves during the frame: its path (cycles per slice per symbol,
     * over the header's carrier) when followed_, and what it is fitted from. */
    Track coarse_, fine_;
    bool coarse_moved_ = false, fine_moved_ = false;
    std::array<cf, kMaxSymbols> observed_{};
    /* The turn within each symbol, kept while observed_ takes the turns between. */
    std::array<cf, kMaxSymbols> within_{};
    std::array<double, kMaxSymbols> path_{};
    mutable std::array<cf, kMaxSymbols> pilots_{}, references_{};
    bool followed_ = false;
    /* Or the path is in raw_ already (a header found along it), starting and
     * averaging these offsets over the frame. */
    bool absorbed_ = false;
    double path_start_hz_ = 0.0, path_mean_hz_ = 0.0;
    /* A header found in two pieces: the step's symbol and the turn per slice. */
    int split_at_ = 0;
    double split_cycles_ = 0.0;
    int reach_ = 0; /* slices of the candidate decoded whose samples are in */
};

} // namespace vchan
