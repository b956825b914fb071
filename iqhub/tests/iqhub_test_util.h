/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Shared helpers of the wrapper's tests: log capture, a bounded main-loop
 * runner, writes that wait for their completion, and generated I/Q. */
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <iqhub/iqhub.h>
#include <vekgen/vekgen.h>

namespace iqhub_test
{

/* Messages of the logger and of the device library's log, in order. The
 * logger is set up once per process (ctest runs every case in its own). */
void capture_logs();
std::vector<std::string> logged();
/* How many captured messages contain @text. */
int count_logged(const std::string &text);
void clear_logs();

/* Iterates the default main context until @done, at most @timeout_s seconds. */
bool run_until(const std::function<bool()> &done, double timeout_s = 120.0);

/* One write of @length bytes, waited for; FALSE with the write's error. */
gboolean write_and_wait(Iqhub *hub, const void *buffer, gsize length, struct timeval tv,
                        GError **error);

/* A started hub of @rate bit/s with the frames it delivers collected. */
struct Collector {
    std::vector<kvrframe> frames;
    static gboolean on_frame(Iqhub *self, kvrframe *frame, gpointer user_data, GError **error);
};

/* @n_samples of @signal as interleaved I/Q. */
std::vector<gint16> fill(VekgenSignal *signal, gsize n_samples);

/* A frame of @rate bit/s carrying @bytes (covered length from their count). */
VekgenFrame make_frame(guint rate, const std::vector<guint8> &bytes, guint64 start, double freq);

/* An uplink line of the current version for @sample_id and device @tid. */
std::string fdata_v1_line(gint64 sample_id, guint32 tid);

struct timeval make_tv(gint64 sec, gint64 usec = 0);

/* Switches to a locale with a decimal comma (built under the build tree when
 * the system's locales lack it); FALSE when there is none. */
bool use_decimal_comma_locale();

} // namespace iqhub_test
