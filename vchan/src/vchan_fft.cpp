/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The banks' FFT over libavutil or KissFFT. */
#include "vchan_fft.h"

#include <cstdlib>
#include <cstring>

#if defined(VCHAN_FFT_AVUTIL)
extern "C" {
#include <libavutil/tx.h>
}
#else
#include <kiss_fft.h>
#endif

namespace vchan
{

namespace
{
/* Wide enough for any SIMD code of either library. */
constexpr size_t kAlign = 64;

cf *alloc_points(int n)
{
    const size_t bytes = (size_t(n) * sizeof(cf) + kAlign - 1) / kAlign * kAlign;
    void *p = std::aligned_alloc(kAlign, bytes);
    if (p == nullptr)
        std::abort();
    memset(p, 0, bytes);
    return static_cast<cf *>(p);
}
} // namespace

Fft::Fft(int n) : n_(n)
{
    in_ = alloc_points(n);
    out_ = alloc_points(n);
#if defined(VCHAN_FFT_AVUTIL)
    AVTXContext *ctx = nullptr;
    av_tx_fn fn = nullptr;
    const float scale = 1.f;
    if (av_tx_init(&ctx, &fn, AV_TX_FLOAT_FFT, 0, n, &scale, 0) == 0 && fn != nullptr) {
        plan_ = ctx;
        fn_ = reinterpret_cast<void (*)()>(fn);
    } else {
        av_tx_uninit(&ctx);
    }
#else
    plan_ = kiss_fft_alloc(n, 0, nullptr, nullptr);
#endif
}

Fft::~Fft()
{
#if defined(VCHAN_FFT_AVUTIL)
    AVTXContext *ctx = static_cast<AVTXContext *>(plan_);
    av_tx_uninit(&ctx);
#else
    kiss_fft_free(static_cast<kiss_fft_cfg>(plan_));
#endif
    std::free(in_);
    std::free(out_);
}

void Fft::run()
{
#if defined(VCHAN_FFT_AVUTIL)
    reinterpret_cast<av_tx_fn>(fn_)(static_cast<AVTXContext *>(plan_), out_, in_,
                                    ptrdiff_t(sizeof(cf)));
#else
    static_assert(sizeof(kiss_fft_cpx) == sizeof(cf), "interleaved complex floats");
    kiss_fft(static_cast<kiss_fft_cfg>(plan_), reinterpret_cast<const kiss_fft_cpx *>(in_),
             reinterpret_cast<kiss_fft_cpx *>(out_));
#endif
}

const char *Fft::backend()
{
#if defined(VCHAN_FFT_AVUTIL)
    return "libavutil";
#else
    return "KissFFT";
#endif
}

} // namespace vchan
