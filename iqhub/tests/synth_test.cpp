/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink synthesis: the frame the builder makes for a signed request, and
 * the transmit callback's ownership. */
#include "iqhub_test_util.h"

#include <cstring>

#include "iqhub_key.h"

using namespace iqhub_test;

namespace
{

struct Sent {
    std::vector<std::vector<guint8>> frames;
    std::vector<guint32> freqs;
    static gboolean on_tx(SdrSynthWrapper *, guint8 *frame, gsize length, guint32 freq,
                          gpointer data, GError **error)
    {
        EXPECT_EQ(error, nullptr);
        auto *s = static_cast<Sent *>(data);
        s->frames.emplace_back(frame, frame + length);
        s->freqs.push_back(freq);
        g_free(frame);
        return TRUE;
    }
};

/* The frame built directly from a request signed with the network key. */
std::vector<guint8> reference(guint32 tid, guint16 seq, std::vector<guint8> payload)
{
    payload.resize(8);
    g_autoptr(kvrframe) record = kvrproto_alloc_frame();
    record->v = KVRPROTO_VERSION_V1_DLK;
    record->f.v1dlk.tid = tid;
    record->f.v1dlk.seq = seq;
    std::memcpy(record->f.v1dlk.data, payload.data(), 8);
    guint8 key[IQHUB_AUTH_KEY_LEN];
    iqhub_auth_key(key);
    guint8 code[KVRPROTO_HMAC_MAX_LEN] = {};
    guint8 code_len = 0;
    EXPECT_TRUE(kvrproto_compute_hmac(record, key, sizeof(key), code, &code_len, nullptr));
    EXPECT_EQ(code_len, 2);
    vdem_dl_specs_t specs = {};
    std::memcpy(specs.payload, payload.data(), 8);
    specs.aes_out = static_cast<guint16>(code[0] << 8 | code[1]);
    specs.seq = seq;
    specs.tstid = tid;
    vdem_dl_frame_t frame = {};
    vdem_build_dl_frame(&specs, &frame);
    return {frame.byte, frame.byte + sizeof(frame.byte)};
}

} // namespace

TEST(SdrSynthWrapper, BuildsTheSignedFrameAndPassesTheFrequencyThrough)
{
    g_autoptr(SdrSynthWrapper) synth = sdr_synth_wrapper_new();
    Sent sent;
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, &sent, nullptr, nullptr);
    const guint8 short_payload[] = {0xca, 0xfe, 0x01};
    const guint8 padded[8] = {0xca, 0xfe, 0x01, 0, 0, 0, 0, 0};
    sdr_synth_wrapper_synthesize(synth, 0x12AB34, 0x0abc, short_payload, 3, 869525000);
    sdr_synth_wrapper_synthesize(synth, 0x12AB34, 0x0abc, padded, 8, 1);
    sdr_synth_wrapper_synthesize(synth, 0x12AB35, 0x0abc, padded, 8, 1);
    sdr_synth_wrapper_synthesize(synth, 0, 0, nullptr, 0, G_MAXUINT32);
    ASSERT_EQ(sent.frames.size(), 4u);
    EXPECT_EQ(sent.frames[0].size(), 28u);
    EXPECT_EQ(sent.frames[0], reference(0x12AB34, 0x0abc, {0xca, 0xfe, 0x01}));
    EXPECT_EQ(sent.frames[0], sent.frames[1]) << "a short payload is the padded one";
    EXPECT_NE(sent.frames[1], sent.frames[2]) << "the device id is signed";
    EXPECT_EQ(sent.frames[3], reference(0, 0, {}));
    EXPECT_EQ(sent.freqs, (std::vector<guint32>{869525000, 1, 1, G_MAXUINT32}));
}

TEST(SdrSynthWrapper, RefusesAPayloadLongerThanEightBytes)
{
    capture_logs();
    g_autoptr(SdrSynthWrapper) synth = sdr_synth_wrapper_new();
    Sent sent;
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, &sent, nullptr, nullptr);
    const guint8 payload[9] = {};
    clear_logs();
    sdr_synth_wrapper_synthesize(synth, 1, 1, payload, 9, 1);
    EXPECT_TRUE(sent.frames.empty());
    EXPECT_GE(count_logged("refusing a payload of 9 bytes"), 1);
}

/* A host frees the user data of a callback it replaces itself: the wrapper
 * calls the destroy function only at finalisation, on the data then in
 * place, and frames go to the new callback. */
TEST(SdrSynthWrapper, ReplacingTheCallbackLeavesItsUserDataAndFinalizationReleasesTheDataInPlace)
{
    struct Counted : Sent {
        int released = 0;
    } first, second;
    /* The callback sees the Sent part, the destroy function the whole. */
    auto release = [](gpointer data) {
        static_cast<Counted *>(static_cast<Sent *>(data))->released++;
    };
    SdrSynthWrapper *synth = sdr_synth_wrapper_new();
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, static_cast<Sent *>(&first), release,
                                      nullptr);
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, static_cast<Sent *>(&second), release,
                                      nullptr);
    EXPECT_EQ(first.released, 0);
    const guint8 payload[] = {0xc0, 0xff, 0xee};
    sdr_synth_wrapper_synthesize(synth, 0x12AB34, 5, payload, sizeof payload, 869525000);
    EXPECT_TRUE(first.frames.empty());
    EXPECT_EQ(second.frames.size(), 1u);
    sdr_synth_wrapper_unref(synth);
    EXPECT_EQ(first.released, 0);
    EXPECT_EQ(second.released, 1);
}

TEST(SdrSynthWrapper, WithoutACallbackNothingIsDeliveredAndUserDataIsReleased)
{
    int released = 0;
    auto release = [](gpointer data) { ++*static_cast<int *>(data); };
    SdrSynthWrapper *synth = sdr_synth_wrapper_new();
    sdr_synth_wrapper_synthesize(synth, 1, 1, nullptr, 0, 1); /* no callback: nothing to see */
    Sent sent;
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, &released, release, nullptr);
    sdr_synth_wrapper_set_tx_callback(synth, Sent::on_tx, &released, release, nullptr);
    EXPECT_EQ(released, 0);
    sdr_synth_wrapper_unref(synth);
    EXPECT_EQ(released, 1);
}
