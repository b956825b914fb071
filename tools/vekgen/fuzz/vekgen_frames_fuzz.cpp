/* SPDX-License-Identifier: GPL-2.0-or-later */
// Fuzz target over the transmitter's frame texts: the input is read as one
// frame text, as a frame file and as an impairments text. A text either gives a
// frame the transmitter can send, whose printed text reads back and prints again
// the same, or is refused with an error; a frame file adds its frames or stops at
// a bad line; impairments that parse print back the same and run.
#include "vekgen/vekgen.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

void check_frame_text(const char *text)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(7);
    VekgenFrame frame;
    GError *error = nullptr;
    if (!vekgen_frame_parse(text, rand, &frame, &error)) {
        if (error == nullptr || error->domain != VEKGEN_ERROR)
            abort(); // a refusal says why
        g_error_free(error);
        return;
    }
    if (!vekgen_frame_check(&frame, nullptr))
        abort(); // a parsed frame can be sent
    g_autofree gchar *first = vekgen_frame_to_string(&frame);
    VekgenFrame again;
    if (!vekgen_frame_parse(first, rand, &again, &error)) {
        fprintf(stderr, "printed frame does not parse: %s\n  %s\n", error->message, first);
        abort();
    }
    g_autofree gchar *second = vekgen_frame_to_string(&again);
    if (strcmp(first, second) != 0) {
        fprintf(stderr, "printing is not stable:\n  %s\n  %s\n", first, second);
        abort();
    }
}

void check_frame_file(const char *text)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(7);
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(1, 30.0);
    GError *error = nullptr;
    const gboolean ok = vekgen_signal_add_frames_text(signal, text, "fuzz", FALSE, rand, &error);
    if (!ok && error == nullptr)
        abort();
    g_clear_error(&error);
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n);
    for (guint i = 0; i < n; i++)
        if (!vekgen_frame_check(&frames[i], nullptr))
            abort(); // only frames that can be sent are added
}

void check_impairments(const char *text)
{
    g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
    GError *error = nullptr;
    if (!vekgen_impairments_parse(imp, text, &error)) {
        if (error == nullptr || error->domain != VEKGEN_ERROR)
            abort();
        g_error_free(error);
        return;
    }
    g_autofree gchar *first = vekgen_impairments_to_string(imp);
    g_autoptr(VekgenImpairments) again = vekgen_impairments_new();
    if (!vekgen_impairments_parse(again, first, &error)) {
        fprintf(stderr, "printed impairments do not parse: %s\n  %s\n", error->message, first);
        abort();
    }
    g_autofree gchar *second = vekgen_impairments_to_string(again);
    if (strcmp(first, second) != 0) {
        fprintf(stderr, "printing is not stable:\n  %s\n  %s\n", first, second);
        abort();
    }
    // A few chunks of the stream with a frame, from the start and after a skip.
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(1, 30.0);
    VekgenFrame frame;
    vekgen_frame_init(&frame);
    frame.bit_rate = 600;
    if (!vekgen_signal_set_impairments(signal, imp, nullptr) ||
        !vekgen_signal_add_frame(signal, &frame, nullptr))
        abort();
    gint16 iq[2 * 300];
    vekgen_signal_fill(signal, iq, 300);
    vekgen_signal_skip(signal, 10000);
    vekgen_signal_fill(signal, iq, 300);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // The parsers take C strings: a buffer ends at its first NUL.
    const std::string text(reinterpret_cast<const char *>(bytes), size);
    check_frame_text(text.c_str());
    check_frame_file(text.c_str());
    check_impairments(text.c_str());
    return 0;
}
