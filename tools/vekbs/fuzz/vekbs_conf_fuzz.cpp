/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Fuzz target over vekbs.conf: the input is written to a file, loaded as the
 * station's key file and applied through the table of settings, its "log"
 * group read as the logger gets it. Any input may be refused; none may crash,
 * and a refusal is one message in UTF-8 that never quotes the password. */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_scratch.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace vekbs;
    static const bool ready = [] {
        vek_fuzz::make_scratch_dir("vekbs-conf-fuzz", {"vekbs.conf"});
        return true;
    }();
    (void)ready;
    const std::string path = vek_fuzz::scratch_path("vekbs.conf");
    vek_fuzz::write_file(path, data, size);
    g_chmod(path.c_str(), 0600);

    g_autoptr(GError) error = nullptr;
    g_autoptr(GKeyFile) file = load_key_file(path.c_str(), &error);
    if (file == nullptr) {
        if (error == nullptr || !g_utf8_validate(error->message, -1, nullptr))
            abort();
        return 0;
    }
    Settings settings = default_settings();
    if (!apply_key_file(file, settings, &error)) {
        if (error == nullptr || !g_utf8_validate(error->message, -1, nullptr))
            abort();
        /* A refused password is named, never quoted. */
        g_autofree gchar *password = g_key_file_get_value(file, "mqtt", "password", nullptr);
        if (g_str_has_prefix(error->message, "[mqtt] password:") && password != nullptr &&
            *password != '\0' && strstr(error->message, password) != nullptr)
            abort();
        g_clear_error(&error);
    }
    LogSettings log;
    if (!read_log_group(file, log, &error) &&
        (error == nullptr || !g_utf8_validate(error->message, -1, nullptr)))
        abort();
    return 0;
}
