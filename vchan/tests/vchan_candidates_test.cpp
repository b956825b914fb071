/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The candidate list of one rate on its own: detections that merge, side lobes that
 * wait for the frame that explains them, and candidates taken out of the list,
 * through the list's state after items have moved within it. */
#include "vchan_candidates.h"
#include "vchan_demod.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

constexpr int kRate = 600;
constexpr int64_t kBit = vchan::samples_per_bit(kRate);
/* Bin frequencies are multiples of half the rate. */
constexpr double kBin = kRate / 2.0;
constexpr int64_t kStart = 100000;
/* A sample at which a candidate starting at kStart is ready, whatever its length. */
constexpr uint64_t kReady = uint64_t(kStart + (vchan::kMaxSymbols + 4) * kBit);

vchan::Candidate detection(double freq, float metric, int64_t start = kStart)
{
    vchan::Candidate c;
    c.start = start;
    c.freq = freq;
    c.metric = metric;
    c.done = false;
    return c;
}

class VchanCandidates : public ::testing::Test
{
  protected:
    VchanCandidates() : list_(kRate), demod_(kRate, 0.f), ring_(vchan::kRingSize) {}

    bool pop(vchan::Candidate &c) { return list_.pop_ready(kReady, c, demod_, ring_.data()); }

    vchan::CandidateList list_;
    vchan::Demod demod_;
    std::vector<vchan::cf> ring_;
};

/* A weak detection 20 bins from a strong frame, in its span, is that frame's side
 * lobe: it leaves the list for the frame's shadow, and the frame, last in the list,
 * takes its place. A weaker detection of the frame in the next bin then merges with
 * it wherever it now sits: the frame is taken once, and its side lobe with it. */
TEST_F(VchanCandidates, DetectionMergesWithAFrameMovedInTheList)
{
    list_.add(detection(20 * kBin, 1e3f));
    list_.add(detection(0.0, 1e6f));
    list_.add(detection(kBin, 5e5f));

    vchan::Candidate c;
    ASSERT_TRUE(pop(c));
    EXPECT_EQ(c.freq, 0.0);
    EXPECT_EQ(c.metric, 1e6f);
    vchan::Candidate lobe;
    ASSERT_TRUE(list_.pop_shadowed(c.id, lobe));
    EXPECT_EQ(lobe.freq, 20 * kBin);
    EXPECT_FALSE(list_.pop_shadowed(c.id, lobe));
    EXPECT_FALSE(pop(c)) << "a second candidate at " << c.freq << " Hz";
    EXPECT_EQ(list_.dropped(), 0u);
}

/* A candidate taken already is no one's side lobe: a strong frame found after it,
 * whose side lobes could account for it, leaves it where it is. */
TEST_F(VchanCandidates, CandidateTakenIsNotShadowedByALaterFrame)
{
    list_.add(detection(20 * kBin, 1e3f));
    vchan::Candidate weak;
    ASSERT_TRUE(pop(weak));
    EXPECT_EQ(weak.freq, 20 * kBin);

    list_.add(detection(0.0, 1e6f));
    vchan::Candidate strong;
    ASSERT_TRUE(pop(strong));
    EXPECT_EQ(strong.freq, 0.0);
    vchan::Candidate lobe;
    EXPECT_FALSE(list_.pop_shadowed(strong.id, lobe)) << "the taken candidate came back";
    EXPECT_FALSE(pop(strong));
}

/* A candidate taken long ago leaves the list at last, and the candidate that takes
 * its place is still the one that a detection beside it merges with. */
TEST_F(VchanCandidates, DetectionMergesWithACandidateMovedAfterAnotherLeft)
{
    list_.add(detection(-40 * kBin, 2e6f, kStart - 230 * kBit));
    vchan::Candidate c;
    ASSERT_TRUE(pop(c));
    EXPECT_EQ(c.freq, -40 * kBin);

    /* Ready ten bits after the first has gone. */
    const int64_t later = kStart + 10 * kBit;
    list_.add(detection(0.0, 1e6f, later));
    EXPECT_FALSE(pop(c));
    list_.add(detection(kBin, 5e5f, later));
    const uint64_t now = kReady + 10 * kBit;
    ASSERT_TRUE(list_.pop_ready(now, c, demod_, ring_.data()));
    EXPECT_EQ(c.freq, 0.0);
    EXPECT_EQ(c.metric, 1e6f);
    EXPECT_FALSE(list_.pop_ready(now, c, demod_, ring_.data()))
        << "a second candidate at " << c.freq << " Hz";
}

} // namespace
