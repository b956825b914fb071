/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The library keeps no state: lines, objects and codes may be handled on
// several threads at once, each on its own records.
#include "test-util.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace
{

const guint8 kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

// The 5-byte frame of the code vectors, with its valid code.
const char kLine[] = "FDATA_V1 0 22 0 C56778563412A0A1A2A3A4438B66105C 1 -4200 12.50 -120.25";

} // namespace

TEST(FrameConcurrency, LinesObjectsAndCodesOnSeveralThreads)
{
    // Types and classes are set up once, under GLib's own guards; GLib is
    // not built for the thread checker, which would not see those guards'
    // release. Setting them up first keeps the check on this library.
    const GType types[] = {KVRPROTO_TYPE_FRAME_V0, KVRPROTO_TYPE_FRAME_V1,
                           KVRPROTO_TYPE_FRAME_V1_OOB, KVRPROTO_TYPE_FRAME_V1_DLK};
    std::vector<gpointer> classes;
    for (GType type : types)
        classes.push_back(g_type_class_ref(type));
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < kRounds; ++i) {
                kvrframe *frame = nullptr;
                if (!kvrproto_fdata_parse(kLine, &frame, nullptr)) {
                    ++failures;
                    continue;
                }
                FramePtr owned(frame);
                // Each thread changes its own record and re-authenticates it.
                frame->f.v1.data[6] = static_cast<guint8>(t);
                KvrprotoFrameGen *object = kvrproto_frame_from_struct(frame, nullptr);
                if (!object || !KVRPROTO_IS_FRAME_V1(object) ||
                    !kvrproto_frame_v1_update_hmac(KVRPROTO_FRAME_V1(object), kKey, 16, nullptr) ||
                    !kvrproto_frame_v1_check_hmac(KVRPROTO_FRAME_V1(object), kKey, 16, nullptr))
                    ++failures;
                gchar *line = object ? kvrproto_frame_gen_to_string(object, nullptr) : nullptr;
                if (!line || strncmp(line, "FDATA_V1 0 22 0 C5", 18) != 0)
                    ++failures;
                g_free(line);
                if (object)
                    g_object_unref(object);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (gpointer klass : classes)
        g_type_class_unref(klass);
    EXPECT_EQ(failures.load(), 0);
}
