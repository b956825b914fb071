/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The banks' FFT over libavutil, FFTW or KissFFT. */
#include "vchan_fft.h"

#include <cstdlib>
#include <cstring>

#if defined(VCHAN_FFT_AVUTIL)
extern "C" {
#include <libavutil/tx.h>
}
#elif defined(VCHAN_FFT_FFTW)
#include <fftw3.h>

#include <mutex>
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

#if defined(VCHAN_FFT_FFTW)
/* FFTW's planner is shared by the whole process and not thread-safe, while
 * receivers may be made and freed in any thread: plans are made and destroyed under
 * this lock. Running a plan needs none. */
std::mutex &planner_lock()
{
    static std::mutex lock;
    return lock;
}
#endif
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
#elif defined(VCHAN_FFT_FFTW)
    static_assert(sizeof(fftwf_complex) == sizeof(cf), "interleaved complex floats");
    /* Planned by estimate, not by measuring: the same plan, and so the same
     * rounding, on every run and machine, and no time spent trying transforms. An
     * out-of-place complex plan leaves its input as it was. */
    std::lock_guard<std::mutex> hold(planner_lock());
    plan_ = fftwf_plan_dft_1d(n, reinterpret_cast<fftwf_complex *>(in_),
                              reinterpret_cast<fftwf_complex *>(out_), FFTW_FORWARD,
                              FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
#else
    plan_ = kiss_fft_alloc(n, 0, nullptr, nullptr);
#endif
}

Fft::~Fft()
{
#if defined(VCHAN_FFT_AVUTIL)
    AVTXContext *ctx = static_cast<AVTXContext *>(plan_);
    av_tx_uninit(&ctx);
#elif defined(VCHAN_FFT_FFTW)
    if (plan_ != nullptr) {
        std::lock_guard<std::mutex> hold(planner_lock());
        fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    }
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
#elif defined(VCHAN_FFT_FFTW)
    fftwf_execute(static_cast<fftwf_plan>(plan_));
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
#elif defined(VCHAN_FFT_FFTW)
    return "FFTW";
#else
    return "KissFFT";
#endif
}

} // namespace vchan
