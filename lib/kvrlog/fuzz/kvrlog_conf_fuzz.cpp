/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Fuzz target over the logger's text configuration: the first byte picks the
// sink type, the rest is a key file whose "log" group is applied to a fresh
// configuration, then dumped. The same text is also read as a level and as a
// trace mask. Any text is either applied or refused with an error; nothing is
// opened or written while parsing.
#include <kvrlog/kvrlog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

FILE *sink = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sink = fopen("/dev/null", "w");
    if (sink == nullptr || !kvrlog_register_trace("RADIO", 0x1, nullptr) ||
        !kvrlog_register_trace("USB", 0x6, nullptr))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    const guint type = bytes[0] % KVRLOG_HELPER_MAX;
    const std::string text(reinterpret_cast<const char *>(bytes + 1), size - 1);

    // The configuration is a process-wide object: the last reference dropped
    // here lets the next input start from the defaults.
    KvrlogConf *conf = kvrlog_conf_new_with_options("type", type, nullptr);
    if (conf == nullptr || static_cast<guint>(conf->type) != type)
        abort();
    g_autoptr(GKeyFile) file = g_key_file_new();
    if (g_key_file_load_from_data(file, text.c_str(), text.size(), G_KEY_FILE_NONE, nullptr)) {
        GError *error = nullptr;
        if (!kvrlog_conf_parse(conf, file, &error) && error == nullptr)
            abort(); // a refusal says why
        g_clear_error(&error);
        kvrlog_conf_dump(conf, sink);
    }

    GError *error = nullptr;
    const KvrlogLevel level = kvrlog_conf_parse_level(conf, text.c_str(), &error);
    if (error == nullptr && level >= KVRLOG_LEVEL_MAX)
        abort();
    g_clear_error(&error);
    const guint64 trace = kvrlog_conf_parse_trace(conf, text.c_str(), &error);
    g_clear_error(&error);
    g_free(kvrlog_trace_to_str(conf, trace));
    kvrlog_conf_unref(conf);
    return 0;
}
