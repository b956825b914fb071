/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The station's counters and gauges in the Prometheus text format (version
 * 0.0.4): names under vekbs_, counters ending in _total, units in the name
 * (_seconds, _bytes, _decibels). Most come from the statistics object that
 * the status topic carries, so that the two always agree. */
#pragma once

#include <string>
#include <vector>

#include <glib.h>

namespace vekbs
{

/* One family at a time: its HELP and TYPE lines, then its samples. */
class MetricsText
{
  public:
    /* @type: counter, gauge, summary or untyped. */
    void family(const char *name, const char *type, const char *help);
    /* @labels: pairs of name and value (values are escaped here). */
    void sample(const std::string &name, gdouble value,
                const std::vector<std::pair<std::string, std::string>> &labels = {});
    const std::string &text() const { return text_; }

  private:
    std::string text_;
};

/* The families of the status object @status_json ({"state", "station",
 * "card_streaming", "statistics": {...}}): frames per rate and drops by
 * cause, signal and card counters, the broker's queue and reconnections, the
 * downlink, the latency summaries, uptime and CPU. A statistics member
 * without a row of its own is given as vekbs_statistics_<name>. */
void add_status_metrics(MetricsText &out, const std::string &status_json);

} // namespace vekbs
