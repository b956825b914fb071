/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Fuzz target over the three frame line parsers. Every input must either be
// refused with an error or give a record whose printed line reads back and
// prints again to the very same line. Records that parse are also turned
// into objects and authenticated, so the payload rules meet hostile counts.
#include <kvrproto/kvrproto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

const guint8 kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

[[noreturn]] void fail(const char *what, const std::string &a, const std::string &b)
{
    fprintf(stderr, "%s\n  first:  %s\n  second: %s\n", what, a.c_str(), b.c_str());
    abort();
}

// Parses with the parser that fits the line; the printed line must be stable.
void check_round_trip(const kvrframe *frame)
{
    GError *error = nullptr;
    gchar *first = kvrproto_to_string(frame, &error);
    if (!first) {
        fail("a parsed record does not print", error ? error->message : "", "");
    }
    kvrframe *again = nullptr;
    const gboolean ok = (frame->v & KVRPROTO_VERSION_DLK_BIT)
                            ? kvrproto_txdata_parse(first, &again, &error)
                            : kvrproto_fdata_parse(first, &again, &error);
    if (!ok)
        fail("a printed line does not parse", first, error ? error->message : "");
    gchar *second = kvrproto_to_string(again, nullptr);
    if (!second || strcmp(first, second) != 0)
        fail("printing is not stable", first, second ? second : "(null)");
    g_free(second);
    g_free(first);
    kvrproto_free_frame(again);
}

void exercise_object(const kvrframe *frame)
{
    KvrprotoFrameGen *object = kvrproto_frame_from_struct(frame, nullptr);
    if (!object)
        abort(); // every parsed record has a class
    GArray *data = nullptr;
    guint tid = 0;
    gdouble timestamp = 0;
    g_object_get(object, "data", &data, "tid", &tid, "timestamp", &timestamp, nullptr);
    if (data)
        g_array_unref(data);
    if (KVRPROTO_IS_FRAME_V1(object)) {
        GArray *code = nullptr;
        GArray *raw = nullptr;
        g_object_get(object, "hmac", &code, "raw", &raw, nullptr);
        g_array_unref(code);
        g_array_unref(raw);
        if (kvrproto_frame_v1_update_hmac(KVRPROTO_FRAME_V1(object), kKey, 16, nullptr) &&
            !kvrproto_frame_v1_check_hmac(KVRPROTO_FRAME_V1(object), kKey, 16, nullptr))
            abort(); // an updated code must check
    }
    guint8 payload[12];
    guint8 length = 0;
    if (kvrproto_frame_gen_get_payload(object, payload, &length, nullptr) && length > 12)
        abort();
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    if (kvrproto_compute_hmac(frame, kKey, 16, code, &code_length, nullptr) &&
        (code_length < 2 || code_length > KVRPROTO_HMAC_MAX_LEN))
        abort();
    g_object_unref(object);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // The parsers take C strings: a buffer ends at its first NUL.
    const std::string line(reinterpret_cast<const char *>(bytes), size);
    const char *text = line.c_str();

    kvrframe *uplink = nullptr;
    GError *error = nullptr;
    if (kvrproto_fdata_parse(text, &uplink, &error)) {
        check_round_trip(uplink);
        exercise_object(uplink);
        kvrproto_free_frame(uplink);
    } else if (uplink || !error) {
        abort(); // a failure must leave no record and say why
    }
    g_clear_error(&error);

    kvrframe *downlink = nullptr;
    if (kvrproto_txdata_parse(text, &downlink, &error)) {
        check_round_trip(downlink);
        exercise_object(downlink);
        kvrproto_free_frame(downlink);
    } else if (downlink || !error) {
        abort();
    }
    g_clear_error(&error);

    KvrprotoFrameGen *object = kvrproto_parse(text, &error);
    if (object)
        g_object_unref(object);
    else if (!error)
        abort();
    g_clear_error(&error);
    return 0;
}
