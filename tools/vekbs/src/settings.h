/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The station's key file, vekbs.conf, found the way every program of the
 * system finds its configuration (/etc/kavrin/, /etc/, ./conf/, ./). */
#pragma once

#include <string>

#include "vekbs.h"

namespace vekbs
{

constexpr const gchar *kConfigName = "vekbs.conf";

/* Device list files named by the key file; the lists are read later. */
struct FileSettings {
    std::string whitelist, blacklist;
};

/* @path, or the first vekbs.conf of the search order. NULL without error when
 * there is none; NULL with @error when one exists but cannot be read. */
GKeyFile *load_key_file(const gchar *path, GError **error);
/* Applies the groups "station", "card" and "mqtt" (the "log" group is the
 * logger's); an unknown key or a bad value is an error. */
bool apply_key_file(GKeyFile *file, StationConfig &config, FileSettings &files, GError **error);

bool parse_preamp_mode(const gchar *text, VektypePreampMode *mode);
bool parse_bit_rate(const gchar *text, std::vector<guint> &rates);

} // namespace vekbs
