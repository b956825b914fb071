/* SPDX-License-Identifier: GPL-2.0-or-later */
// A scratch folder for fuzz targets whose parser reads a file: the input is
// written there on every run, so it lives in memory (/dev/shm) when the system
// has one, and is removed at exit.
#pragma once

#include <glib.h>
#include <glib/gstdio.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace vek_fuzz
{

inline std::string &scratch_dir()
{
    static std::string dir;
    return dir;
}

inline std::string scratch_path(const char *name)
{
    return scratch_dir() + "/" + name;
}

inline void write_file(const std::string &path, const void *bytes, size_t size)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes, 1, size, file) != size || fclose(file) != 0)
        abort();
}

// Creates the folder; the files named are removed with it at exit.
inline void make_scratch_dir(const char *stem, std::initializer_list<const char *> files)
{
    static std::vector<std::string> owned;
    g_autofree gchar *in_memory = g_strdup_printf("/dev/shm/%s-XXXXXX", stem);
    g_autofree gchar *fallback = g_strdup_printf("%s-XXXXXX", stem);
    gchar *dir = g_mkdtemp(in_memory);
    g_autofree gchar *made = dir != nullptr ? g_strdup(dir) : g_dir_make_tmp(fallback, nullptr);
    if (made == nullptr)
        abort();
    scratch_dir() = made;
    for (const char *file : files)
        owned.push_back(scratch_path(file));
    atexit([] {
        for (const auto &path : owned)
            g_unlink(path.c_str());
        g_rmdir(scratch_dir().c_str());
    });
}

} // namespace vek_fuzz
