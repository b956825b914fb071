/* SPDX-License-Identifier: GPL-2.0-or-later */
// Fuzz target over the downlink request parser, which reads what anyone who
// may publish on a station's topic sends. The input is read with the default
// bounds and with roomy ones (so that the nesting bound, not the size, meets
// deep inputs). A request is either refused with an error that says why, or
// read within its ranges with an id that can be echoed as it was read.
#include "downlink_request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gio/gio.h>
#include <json-glib/json-glib.h>

namespace
{

void check(std::string_view text, const vekbs::RequestLimits &limits)
{
    vekbs::DownlinkRequest request;
    GError *error = nullptr;
    if (!vekbs::parse_downlink_request(text, limits, request, &error)) {
        // A refusal says why, in words that can be published.
        if (error == nullptr || error->domain != G_IO_ERROR ||
            (error->code != G_IO_ERROR_INVALID_DATA &&
             error->code != G_IO_ERROR_MESSAGE_TOO_LARGE) ||
            error->message[0] == '\0' || !g_utf8_validate(error->message, -1, nullptr))
            abort();
        g_error_free(error);
    } else if (error != nullptr || text.size() > limits.max_bytes ||
               request.payload.size() > 8 || request.seq > 4095 || request.freq == 0) {
        abort();
    }
    // Whatever id was kept is echoed in the result: it is JSON, within its
    // bound, and written back the same.
    if (request.id.empty())
        return;
    if (request.id.size() > limits.max_id_bytes)
        abort();
    g_autoptr(JsonParser) parser = json_parser_new();
    if (!json_parser_load_from_data(parser, request.id.data(),
                                    static_cast<gssize>(request.id.size()), nullptr)) {
        fprintf(stderr, "the id kept is not JSON: %s\n", request.id.c_str());
        abort();
    }
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, json_parser_get_root(parser));
    g_autofree gchar *again = json_generator_to_data(generator, nullptr);
    if (request.id != again)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(bytes), size);
    check(text, vekbs::RequestLimits{});
    check(text, vekbs::RequestLimits{1 << 20, 4096});
    return 0;
}
