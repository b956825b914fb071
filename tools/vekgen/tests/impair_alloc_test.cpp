/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The sample stream allocates nothing while it is filled, whatever impairments it
 * carries (alloc_count.h counts the test thread's calls to the malloc family). Not
 * built with the sanitizers, whose runtimes own malloc. */
#include "vekgen/vekgen.h"

#include "alloc_count.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

TEST(VekgenImpairAllocation, FillingAnImpairedStreamAllocatesNothing)
{
    const char *every = "dc=45 iq-gain=1 iq-phase=5 carriers=20 carrier-wander=200 bursts=0.5 "
                        "burst-length=0.01 clicks=500 overload=0.2,0.21,1.5 clip=30 drift=30 "
                        "step=50 ppm=50";
    for (const char *text : {static_cast<const char *>(nullptr), every}) {
        g_autoptr(VekgenSignal) signal = vekgen_signal_new(1, 40.0);
        if (text != nullptr) {
            g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
            ASSERT_TRUE(vekgen_impairments_parse(imp, text, nullptr));
            ASSERT_TRUE(vekgen_signal_set_impairments(signal, imp, nullptr));
        }
        for (guint i = 0; i < 6; i++) {
            VekgenFrame f;
            vekgen_frame_init(&f);
            f.bit_rate = i % 2 ? 600 : 100;
            f.offset_hz = -60000.0 + 20000.0 * i;
            f.start_sample = 1000 + 30000 * i;
            ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
        }
        std::vector<gint16> iq(2 * 5000);
        vek_alloc::start_counting();
        for (guint64 at = 0; at < 2 * VEKGEN_SAMPLE_RATE; at += 5000)
            vekgen_signal_fill(signal, iq.data(), 5000);
        EXPECT_EQ(vek_alloc::stop_counting(), 0u) << (text != nullptr ? text : "none");
    }
}

} // namespace
