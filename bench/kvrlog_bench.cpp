/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Cost of logging: a message below the configured level, a trace-gated message
 * whose flag is off, and one line through the file sink. */
#include <benchmark/benchmark.h>
#include <glib/gstdio.h>
#include <kvrlog/kvrlog.h>

#include <cstdio>
#include <string>

namespace
{

int gsArgument = 0;

/* Counts its evaluations, so a gated-off message that evaluated it shows. */
int argument()
{
    return ++gsArgument;
}

std::string gsLogPath;

/* The logger can be set up once per process: one file sink at INFO serves all cases. */
bool setup_logger()
{
    static bool ready = [] {
        gchar *dir = g_dir_make_tmp("kvrlog-bench-XXXXXX", nullptr);
        if (dir == nullptr)
            return false;
        gsLogPath = std::string(dir) + "/bench.log";
        g_free(dir);
        KvrlogConf *conf = kvrlog_conf_new_with_options(
            "type", static_cast<guint>(KVRLOG_HELPER_FILE), "level",
            static_cast<guint>(KVRLOG_LEVEL_INFO), "prog", "bench", nullptr);
        g_strlcpy(conf->helper.file.filename, gsLogPath.c_str(), KVRLOG_FILENAME_SIZE);
        g_strlcpy(conf->helper.file.modes, "w", KVRLOG_MODES_SIZE);
        GError *error = nullptr;
        const bool ok = kvrlog_setup(conf, &error);
        if (!ok) {
            std::fprintf(stderr, "setup: %s\n", error->message);
            g_error_free(error);
        }
        kvrlog_conf_unref(conf);
        return ok;
    }();
    return ready;
}

void BM_GatedOffLevel(benchmark::State &state)
{
    if (!setup_logger()) {
        state.SkipWithError("logger setup failed");
        return;
    }
    for (auto _ : state) {
        KVRLOG_DEBUG("sample %d of %I64u", argument(), G_GUINT64_CONSTANT(42));
        benchmark::ClobberMemory();
    }
    if (gsArgument != 0)
        state.SkipWithError("a gated-off message evaluated its arguments");
}
BENCHMARK(BM_GatedOffLevel);

void BM_GatedOffTrace(benchmark::State &state)
{
    if (!setup_logger()) {
        state.SkipWithError("logger setup failed");
        return;
    }
    for (auto _ : state) {
        KVRLOG_TRACE(0x10, KVRLOG_LEVEL_INFO, "trace %d", argument());
        benchmark::ClobberMemory();
    }
    if (gsArgument != 0)
        state.SkipWithError("a gated-off message evaluated its arguments");
}
BENCHMARK(BM_GatedOffTrace);

void BM_FileSinkLine(benchmark::State &state)
{
    if (!setup_logger()) {
        state.SkipWithError("logger setup failed");
        return;
    }
    const guint64 id = G_GUINT64_CONSTANT(0x1234567890abcdef);
    for (auto _ : state)
        KVRLOG_INFO("frame %016I64x rssi %d snr %.1f", id, -97, 12.5);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileSinkLine);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kvrlog_close(nullptr);
    if (!gsLogPath.empty()) {
        g_unlink(gsLogPath.c_str());
        gchar *dir = g_path_get_dirname(gsLogPath.c_str());
        g_rmdir(dir);
        g_free(dir);
    }
    return 0;
}
