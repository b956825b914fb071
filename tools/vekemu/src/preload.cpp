/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Running code under umockdev's preload library: re-executing a test binary, and the
 * environment of a program started by the runner. */
#include "vekemu-private.h"

#include <cstring>
#include <link.h>
#include <unistd.h>

namespace
{

constexpr const char *PRELOAD_LIB = "libumockdev-preload.so.0";
constexpr const char *REEXEC_MARK = "VEKEMU_REEXEC";

struct Search {
    const char *stem;
    std::string path;
};

int find_library_cb(struct dl_phdr_info *info, size_t, void *data)
{
    auto *s = static_cast<Search *>(data);
    if (info->dlpi_name != nullptr && strstr(info->dlpi_name, s->stem) != nullptr) {
        s->path = info->dlpi_name;
        return 1;
    }
    return 0;
}

/* Full path of a library loaded in this process whose name contains `stem`. */
std::string loaded_library(const char *stem)
{
    Search s{stem, {}};
    dl_iterate_phdr(find_library_cb, &s);
    return s.path;
}

/* Whether an executable names a library (its dynamic string table holds the name). */
bool program_needs(const std::string &file, const char *soname)
{
    g_autoptr(GMappedFile) map = g_mapped_file_new(file.c_str(), FALSE, nullptr);
    if (map == nullptr)
        return false;
    return memmem(g_mapped_file_get_contents(map), g_mapped_file_get_length(map), soname,
                  strlen(soname)) != nullptr;
}

/* The preload list: `first` (a sanitizer runtime, or nothing), umockdev's library, then
 * what was there before, less the entries this function puts in place (a process that
 * already runs under the preload, perhaps with a sanitizer, passes its own list on). */
std::string join_preload(const std::string &first, const char *old)
{
    std::string v = first;
    if (!v.empty())
        v += ":";
    v += PRELOAD_LIB;
    g_auto(GStrv) entries = g_strsplit_set(old != nullptr ? old : "", ": ", -1);
    for (gchar **e = entries; *e != nullptr; e++) {
        if (**e == '\0' || strstr(*e, "libumockdev-preload") != nullptr ||
            strstr(*e, "libasan.so") != nullptr || strstr(*e, "libtsan.so") != nullptr)
            continue;
        v += ":";
        v += *e;
    }
    return v;
}

std::string with_option(const char *old, const std::string &option)
{
    std::string v = old != nullptr ? old : "";
    if (!v.empty())
        v += ":";
    return v + option;
}

#ifdef VEKEMU_TSAN_SUPPRESSIONS
const std::string tsan_option = std::string("suppressions=") + VEKEMU_TSAN_SUPPRESSIONS;
#else
const std::string tsan_option;
#endif

} // namespace

gboolean vekemu_in_mock_environment(void)
{
    /* umockdev's own check does not see a preload set up this way; the loaded library
     * list does. */
    static const bool loaded = !loaded_library("libumockdev-preload.so").empty();
    return loaded;
}

gboolean vekemu_ensure_preload(int argc, char **argv)
{
    (void)argc;
    if (vekemu_in_mock_environment())
        return TRUE;
    const char *preload = g_getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
        /* A re-execution would leave valgrind behind. */
        g_printerr("vekemu: under valgrind, start the program with LD_PRELOAD=%s (and "
                   "--suppressions=tools/vekemu/valgrind.supp)\n",
                   PRELOAD_LIB);
        return FALSE;
    }
    if (g_getenv(REEXEC_MARK) != nullptr) {
        g_printerr("vekemu: %s did not load (is the umockdev package installed?)\n", PRELOAD_LIB);
        return FALSE;
    }
    /* A sanitizer runtime must come first in the preload list. */
    std::string san = loaded_library("libasan.so");
    bool tsan = false;
    if (san.empty()) {
        san = loaded_library("libtsan.so");
        tsan = !san.empty();
    }
    g_setenv("LD_PRELOAD", join_preload(san, preload).c_str(), TRUE);
    if (tsan && !tsan_option.empty())
        g_setenv("TSAN_OPTIONS", with_option(g_getenv("TSAN_OPTIONS"), tsan_option).c_str(), TRUE);
    g_setenv(REEXEC_MARK, "1", TRUE);
    execv("/proc/self/exe", argv);
    g_printerr("vekemu: cannot re-execute %s under %s: %s\n", argv[0], PRELOAD_LIB,
               g_strerror(errno));
    return FALSE;
}

gchar **vekemu_child_environ(VekemuBed *bed, const gchar *program)
{
    gchar **env = g_get_environ();
    g_autofree gchar *path = g_find_program_in_path(program);
    std::string file = path != nullptr ? path : program;
    std::string first;
    if (program_needs(file, "libasan.so")) {
        first = loaded_library("libasan.so");
        if (first.empty())
            env = g_environ_setenv(
                env, "ASAN_OPTIONS",
                with_option(g_environ_getenv(env, "ASAN_OPTIONS"), "verify_asan_link_order=0")
                    .c_str(),
                TRUE);
    } else if (program_needs(file, "libtsan.so")) {
        first = loaded_library("libtsan.so");
        if (!tsan_option.empty())
            env = g_environ_setenv(
                env, "TSAN_OPTIONS",
                with_option(g_environ_getenv(env, "TSAN_OPTIONS"), tsan_option).c_str(), TRUE);
    }
    std::string preload = join_preload(first, g_environ_getenv(env, "LD_PRELOAD"));
    env = g_environ_setenv(env, "LD_PRELOAD", preload.c_str(), TRUE);
    env = g_environ_setenv(env, "UMOCKDEV_DIR", vekemu_bed_root_dir(bed), TRUE);
    env = g_environ_unsetenv(env, REEXEC_MARK);
    return env;
}
