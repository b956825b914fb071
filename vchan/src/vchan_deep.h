/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The detections of one bit rate kept only for combining: those between the lower
 * threshold of combining and the bank's threshold, until their header has been
 * tested on the bank's outputs and their frame is in. */
#pragma once

#include "vchan_common.h"

#include <vector>

namespace vchan
{

/* How many such detections of one rate may wait at once. */
constexpr size_t kMaxDeep = 256;

class DeepList
{
  public:
    explicit DeepList(int rate);
    /* Adds @c, or merges it with a detection of the same frame (the stronger stays). */
    void add(const Candidate &c);
    /* Removes and returns in @c a detection whose header is in at sample @now and
     * has not been tested yet. */
    bool pop_untested(uint64_t now, Candidate &c);
    /* Puts back @c, whose header passed its test. */
    void keep(const Candidate &c);
    /* Removes and returns in @c a tested detection whose frame, of any length, is
     * in at sample @now with what combining keeps after it. */
    bool pop_ready(uint64_t now, Candidate &c);
    void clear() { count_ = 0; }
    uint64_t dropped() const { return dropped_; }

  private:
    int bit_;
    double merge_hz_;
    struct Item {
        Candidate c;
        bool tested;
    };
    void put(const Candidate &c, bool tested);
    std::vector<Item> items_;
    size_t count_ = 0;
    uint64_t dropped_ = 0;
};

} // namespace vchan
