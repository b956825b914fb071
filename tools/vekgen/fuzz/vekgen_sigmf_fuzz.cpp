/* SPDX-License-Identifier: GPL-2.0-or-later */
// Fuzz target over the SigMF metadata reader: the input is written as a
// recording's .sigmf-meta beside a small .sigmf-data and the recording is
// opened. It either opens, with frames that can be sent and samples that
// read, or is refused with an error.
#include "vekgen/vekgen.h"

#include "fuzz_scratch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vek_fuzz::make_scratch_dir("vekgen-fuzz", {"rec.sigmf-meta", "rec.sigmf-data"});
    const gint16 samples[8] = {1, -1, 2, -2, 32767, -32768, 0, 0};
    vek_fuzz::write_file(vek_fuzz::scratch_path("rec.sigmf-data"), samples, sizeof(samples));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    vek_fuzz::write_file(vek_fuzz::scratch_path("rec.sigmf-meta"), bytes, size);
    GError *error = nullptr;
    VekgenRecording *recording =
        vekgen_recording_open(vek_fuzz::scratch_path("rec").c_str(), &error);
    if (recording == nullptr) {
        if (error == nullptr)
            abort(); // a refusal says why
        g_error_free(error);
        return 0;
    }
    if (error != nullptr || vekgen_recording_get_n_samples(recording) != 4 ||
        vekgen_recording_get_sample_rate(recording) == 0)
        abort();
    guint n = 0;
    const VekgenFrame *frames = vekgen_recording_get_frames(recording, &n);
    for (guint i = 0; i < n; i++) {
        GError *invalid = nullptr;
        if (!vekgen_frame_check(&frames[i], &invalid)) {
            fprintf(stderr, "annotation %u gives a frame that cannot be sent: %s\n", i,
                    invalid->message);
            abort();
        }
    }
    gint16 iq[8];
    if (vekgen_recording_read(recording, iq, 4, nullptr) != 4 || iq[4] != 32767)
        abort();
    vekgen_recording_close(recording);
    return 0;
}
