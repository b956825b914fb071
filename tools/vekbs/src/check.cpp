/* SPDX-License-Identifier: GPL-2.0-or-later */
/* --check: the delivered frames against the frames the recording says were sent. */
#include <algorithm>
#include <cstring>

#include "vekbs.h"

namespace vekbs
{
namespace
{

/* The device id the filters read: bytes 2 to 5, least significant first. */
guint32 device_of(const VekgenFrame &f)
{
    if (f.uplink)
        return f.device_id;
    return static_cast<guint32>(f.bytes[2]) | static_cast<guint32>(f.bytes[3]) << 8 |
           static_cast<guint32>(f.bytes[4]) << 16 | static_cast<guint32>(f.bytes[5]) << 24;
}

bool passes_filters(const VekgenFrame &f, const StationConfig &config)
{
    if (config.authenticate && (!f.uplink || f.forged))
        return false;
    if (config.devices.empty())
        return true;
    const bool listed = std::find(config.devices.begin(), config.devices.end(), device_of(f)) !=
                        config.devices.end();
    return listed == config.whitelist;
}

/* Unix seconds of the write that holds sample @s. */
gint64 write_seconds(const PassStats &pass, guint64 s)
{
    const guint64 first = s / pass.write_samples * pass.write_samples;
    return (pass.start_us + static_cast<gint64>(first * G_USEC_PER_SEC / kSampleRate)) /
           G_USEC_PER_SEC;
}

bool same_bytes(const VekgenFrame &sent, const kvrframe &got)
{
    return got.v == KVRPROTO_VERSION_V1 && got.f.v1.data_s == sent.covered_len &&
           std::memcmp(got.f.v1.data, sent.bytes, sent.covered_len) == 0;
}

} // namespace

guint check_truth(const std::vector<VekgenFrame> &truth, const StationConfig &config,
                  const std::vector<Delivered> &delivered, const std::vector<PassStats> &stats)
{
    guint differences = 0;
    std::vector<bool> matched(delivered.size(), false);
    for (const PassStats &pass : stats) {
        for (const VekgenFrame &sent : truth) {
            if (sent.bit_rate != pass.rate || !passes_filters(sent, config))
                continue;
            /* Reported between the end of the frame and the end of its tail, in
             * the packet that completes it. */
            const gint64 earliest = write_seconds(pass, vekgen_frame_end_sample(&sent));
            const gint64 latest =
                write_seconds(pass, vekgen_frame_tail_end_sample(&sent) + pass.write_samples);
            bool found = false;
            for (gsize i = 0; i < delivered.size() && !found; i++) {
                const Delivered &d = delivered[i];
                if (matched[i] || d.rate != pass.rate || !same_bytes(sent, d.frame))
                    continue;
                matched[i] = found = true;
                const gint64 at = d.frame.f.v1.timestamp;
                if (at < earliest || at > latest) {
                    g_printerr("vekbs: check: frame sent at sample %" G_GUINT64_FORMAT
                               " came with time %" G_GINT64_FORMAT ", not within %" G_GINT64_FORMAT
                               " to %" G_GINT64_FORMAT "\n",
                               sent.start_sample, at, earliest, latest);
                    differences++;
                }
                if (sent.uplink && kvrproto_get_tstid(&d.frame, nullptr) != sent.device_id) {
                    g_printerr("vekbs: check: frame sent at sample %" G_GUINT64_FORMAT
                               " came from device 0x%X, not 0x%X\n",
                               sent.start_sample, kvrproto_get_tstid(&d.frame, nullptr),
                               sent.device_id);
                    differences++;
                }
            }
            if (!found) {
                g_printerr("vekbs: check: the %u bit/s frame sent at sample %" G_GUINT64_FORMAT
                           " was not delivered\n",
                           sent.bit_rate, sent.start_sample);
                differences++;
            }
        }
    }
    for (gsize i = 0; i < delivered.size(); i++) {
        if (matched[i])
            continue;
        g_autofree gchar *line = kvrproto_to_string(&delivered[i].frame, nullptr);
        g_printerr("vekbs: check: delivered a frame that was not sent or should have been "
                   "dropped: %s\n",
                   line);
        differences++;
    }
    return differences;
}

} // namespace vekbs
