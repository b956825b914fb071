/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Throughput of the frame protocol library: lines parsed and printed per
 * second for the three line types, frame objects built from lines, and
 * authentication codes computed per second for each cipher input size. The
 * bare OpenSSL context set-up each code pays is measured alongside, as the
 * bound of the code rate. */
#include <benchmark/benchmark.h>
#include <kvrproto/kvrproto.h>
#include <openssl/evp.h>

#include <cstdlib>

namespace
{

const char kUplinkV1[] = "FDATA_V1 1 14 0 C56778563412A0A1A2A3A4438B66105C 1700000000 -4200 "
                         "12.50 -120.25";
const char kUplinkV0[] = "FDATA 0 0a 3f1 a1b2c3d4e5f60718 1 1700000000 -4200 3.50 -110.00";
const char kDownlink[] = "TXDATA_V1 1700000000123456 3 12.25 -4200 14.50 1 4011 DEADBEEF 79CE "
                         "1122334455667788";

const guint8 kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void parse_uplink(benchmark::State &state, const char *line)
{
    for (auto _ : state) {
        kvrframe *frame = nullptr;
        if (!kvrproto_fdata_parse(line, &frame, nullptr))
            std::abort();
        benchmark::DoNotOptimize(frame);
        kvrproto_free_frame(frame);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ParseUplinkV1(benchmark::State &state)
{
    parse_uplink(state, kUplinkV1);
}
BENCHMARK(BM_ParseUplinkV1);

void BM_ParseUplinkV0(benchmark::State &state)
{
    parse_uplink(state, kUplinkV0);
}
BENCHMARK(BM_ParseUplinkV0);

void BM_ParseDownlink(benchmark::State &state)
{
    for (auto _ : state) {
        kvrframe *frame = nullptr;
        if (!kvrproto_txdata_parse(kDownlink, &frame, nullptr))
            std::abort();
        benchmark::DoNotOptimize(frame);
        kvrproto_free_frame(frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDownlink);

void print_line(benchmark::State &state, const char *line, bool downlink)
{
    kvrframe *frame = nullptr;
    const gboolean ok = downlink ? kvrproto_txdata_parse(line, &frame, nullptr)
                                 : kvrproto_fdata_parse(line, &frame, nullptr);
    if (!ok)
        std::abort();
    for (auto _ : state) {
        gchar *text = kvrproto_to_string(frame, nullptr);
        benchmark::DoNotOptimize(text);
        g_free(text);
    }
    kvrproto_free_frame(frame);
    state.SetItemsProcessed(state.iterations());
}

void BM_PrintUplinkV1(benchmark::State &state)
{
    print_line(state, kUplinkV1, false);
}
BENCHMARK(BM_PrintUplinkV1);

void BM_PrintDownlink(benchmark::State &state)
{
    print_line(state, kDownlink, true);
}
BENCHMARK(BM_PrintDownlink);

/* The wrapper's path for an object-form host: a line to a frame object. */
void BM_ParseToObject(benchmark::State &state)
{
    for (auto _ : state) {
        KvrprotoFrameGen *frame = kvrproto_parse(kUplinkV1, nullptr);
        if (!frame)
            std::abort();
        g_object_unref(frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseToObject);

/* Codes for an uplink payload of state.range(0) bytes (1 block up to 10
 * bytes of payload, 2 blocks for 11 and 12). */
void BM_ComputeUplinkCode(benchmark::State &state)
{
    kvrframe *frame = kvrproto_alloc_frame();
    frame->v = KVRPROTO_VERSION_V1;
    const auto length = static_cast<guint>(state.range(0));
    const guint rounded = length <= 1 ? length : (length + 3) / 4 * 4;
    frame->f.v1.data_s = static_cast<guint8>(rounded + 8);
    frame->f.v1.data[0] = static_cast<guint8>((rounded - length) << 6);
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    for (auto _ : state) {
        if (!kvrproto_compute_hmac(frame, kKey, 16, code, &code_length, nullptr))
            std::abort();
        benchmark::DoNotOptimize(code);
    }
    kvrproto_free_frame(frame);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComputeUplinkCode)->Arg(0)->Arg(5)->Arg(12);

void BM_ComputeDownlinkCode(benchmark::State &state)
{
    kvrframe *frame = kvrproto_alloc_frame();
    frame->v = KVRPROTO_VERSION_V1_DLK;
    frame->f.v1dlk.tid = 0x12345678;
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    for (auto _ : state) {
        if (!kvrproto_compute_hmac(frame, kKey, 16, code, &code_length, nullptr))
            std::abort();
        benchmark::DoNotOptimize(code);
    }
    kvrproto_free_frame(frame);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComputeDownlinkCode);

/* What each code pays before encrypting anything: a new EVP context, its
 * AES-128-CBC key schedule, and its release. */
void BM_EvpContextSetup(benchmark::State &state)
{
    const guint8 iv[16] = {};
    for (auto _ : state) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, kKey, iv);
        EVP_CIPHER_CTX_free(ctx);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvpContextSetup);

} // namespace

BENCHMARK_MAIN();
