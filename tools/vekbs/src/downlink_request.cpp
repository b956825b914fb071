/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Downlink requests: anyone who may publish on the station's topic writes
 * them, so each is screened for size, nesting and bytes json-glib mishandles
 * before it is parsed, and read without leniency after. */
#include "downlink_request.h"

#include <cmath>
#include <cstring>
#include <utility>

#include <gio/gio.h>
#include <json-glib/json-glib.h>

#include "iqhub/iqhub.h"

namespace vekbs
{
namespace
{

/* json-glib reads a longer integer modulo 2^64 without a word: 18446744073709551617
 * would be 1. Nineteen digits always fit in 64 bits. */
constexpr gsize kMaxDigits = 19;

bool invalid(GError **error, const gchar *what)
{
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, what);
    return false;
}

/* Refuses what json-glib must not be given or would read wrongly: more than
 * the bound, a nesting deeper than kMaxRequestDepth (its recursion), a NUL
 * byte (it fails without saying why) or a \u0000 escape (it cuts the string
 * there), control characters in strings, numbers longer than it reads
 * exactly. One pass, no allocation. */
bool screen(std::string_view text, gsize max_bytes, GError **error)
{
    if (text.size() > max_bytes) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                    "the request holds %zu bytes, more than the %zu a request may have",
                    text.size(), max_bytes);
        return false;
    }
    int depth = 0;
    bool in_string = false, escaped = false;
    gsize digits = 0;
    for (gsize i = 0; i < text.size(); i++) {
        const auto ch = static_cast<guchar>(text[i]);
        if (ch == 0)
            return invalid(error, "the request holds a NUL character");
        if (in_string) {
            if (ch < 0x20)
                return invalid(error, "a string of the request holds a control character");
            if (escaped) {
                escaped = false;
                if (ch == 'u' && text.substr(i + 1, 4) == "0000")
                    return invalid(error, "the request holds a NUL character (\\u0000)");
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                in_string = false;
            }
            continue;
        }
        if (g_ascii_isdigit(ch)) {
            if (++digits > kMaxDigits)
                return invalid(error, "the request holds a number of more than 19 digits");
            continue;
        }
        digits = 0;
        if (ch == '"') {
            in_string = true;
        } else if (ch == '[' || ch == '{') {
            if (++depth > kMaxRequestDepth) {
                g_set_error(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                            "the request nests deeper than %d levels", kMaxRequestDepth);
                return false;
            }
        } else if (ch == ']' || ch == '}') {
            depth--;
        }
    }
    return true;
}

/* json-glib keeps the last of two members with one name. It announces each
 * member once it is stored: an object that announced more members than it
 * holds had a name twice. Objects are forgotten once they end, before they
 * could be freed (a replaced member is freed only after its successor ends). */
struct MemberCount {
    std::vector<std::pair<JsonObject *, guint>> open;
    std::string twice;

    static void on_member(JsonParser *, JsonObject *object, const gchar *name, gpointer data)
    {
        auto *self = static_cast<MemberCount *>(data);
        auto it = self->open.rbegin();
        while (it != self->open.rend() && it->first != object)
            ++it;
        guint &count =
            it != self->open.rend() ? it->second : self->open.emplace_back(object, 0).second;
        if (++count > json_object_get_size(object) && self->twice.empty())
            self->twice = name;
    }
    static void on_end(JsonParser *, JsonObject *object, gpointer data)
    {
        auto *self = static_cast<MemberCount *>(data);
        for (auto it = self->open.begin(); it != self->open.end(); ++it)
            if (it->first == object) {
                self->open.erase(it);
                break;
            }
    }
};

bool is_string(JsonNode *node)
{
    return JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING;
}

/* A number; the device id may also be a string, decimal or 0x hexadecimal,
 * as device ids are often written. */
bool read_uint(JsonObject *o, const gchar *name, guint64 min, guint64 max, bool string_too,
               guint64 *value, GError **error)
{
    JsonNode *node = json_object_get_member(o, name);
    if (node == nullptr) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "\"%s\" is missing", name);
        return false;
    }
    if (JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_INT64) {
        const gint64 v = json_node_get_int(node);
        if (v >= 0 && static_cast<guint64>(v) >= min && static_cast<guint64>(v) <= max) {
            *value = static_cast<guint64>(v);
            return true;
        }
    } else if (is_string(node) && string_too) {
        const gchar *text = json_node_get_string(node);
        const bool hex = g_str_has_prefix(text, "0x") || g_str_has_prefix(text, "0X");
        if (g_ascii_string_to_unsigned(hex ? text + 2 : text, hex ? 16 : 10, min, max, value,
                                       nullptr))
            return true;
    } else if (is_string(node)) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                    "\"%s\" must be a number, not a string", name);
        return false;
    }
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                "\"%s\" must be a whole number from %" G_GUINT64_FORMAT " to %" G_GUINT64_FORMAT
                "%s",
                name, min, max, string_too ? " (or a string of one, 0x for hexadecimal)" : "");
    return false;
}

bool read_payload(JsonObject *o, std::vector<guint8> &payload, GError **error)
{
    JsonNode *node = json_object_get_member(o, "payload");
    const gchar *text = node != nullptr && is_string(node) ? json_node_get_string(node) : nullptr;
    const gsize n = text != nullptr ? strlen(text) : 0;
    if (text == nullptr || n % 2 != 0 || n / 2 > SDR_SYNTH_WRAPPER_MAX_PAYLOAD) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                    "\"payload\" must be a string of 0 to %d bytes in hexadecimal",
                    SDR_SYNTH_WRAPPER_MAX_PAYLOAD);
        return false;
    }
    payload.clear();
    for (gsize i = 0; i < n; i += 2) {
        const gint hi = g_ascii_xdigit_value(text[i]), lo = g_ascii_xdigit_value(text[i + 1]);
        if (hi < 0 || lo < 0)
            return invalid(error, "\"payload\" is not hexadecimal");
        payload.push_back(static_cast<guint8>(hi * 16 + lo));
    }
    return true;
}

/* json-glib reads 1e400 as infinity and writes it back as "inf.0", which is
 * not JSON: such an id could not be echoed. The nesting is bounded. */
bool all_finite(JsonNode *node)
{
    switch (JSON_NODE_TYPE(node)) {
    case JSON_NODE_OBJECT: {
        JsonObjectIter iter;
        JsonNode *member = nullptr;
        json_object_iter_init(&iter, json_node_get_object(node));
        while (json_object_iter_next(&iter, nullptr, &member))
            if (!all_finite(member))
                return false;
        return true;
    }
    case JSON_NODE_ARRAY: {
        JsonArray *array = json_node_get_array(node);
        for (guint i = 0; i < json_array_get_length(array); i++)
            if (!all_finite(json_array_get_element(array, i)))
                return false;
        return true;
    }
    case JSON_NODE_VALUE:
        return json_node_get_value_type(node) != G_TYPE_DOUBLE ||
               std::isfinite(json_node_get_double(node));
    case JSON_NODE_NULL:
        return true;
    }
    return true;
}

bool read_id(JsonObject *o, gsize max_bytes, std::string &id, GError **error)
{
    JsonNode *node = json_object_get_member(o, "id");
    if (node == nullptr)
        return true;
    if (!all_finite(node))
        return invalid(error, "\"id\" holds a number too large to be written back");
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, node);
    gsize length = 0;
    g_autofree gchar *text = json_generator_to_data(generator, &length);
    if (length > max_bytes) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                    "\"id\" is %zu bytes long, more than the %zu an id may have", length,
                    max_bytes);
        return false;
    }
    /* json-glib reads a lone \ud800 into bytes that are not UTF-8. */
    if (!g_utf8_validate(text, static_cast<gssize>(length), nullptr))
        return invalid(error, "\"id\" holds a lone UTF-16 surrogate");
    /* And writes some doubles as text that is not JSON (1e40 as "1e+40.0"): an
     * id is echoed only as JSON that reads back. */
    g_autoptr(JsonParser) again = json_parser_new();
    if (!json_parser_load_from_data(again, text, static_cast<gssize>(length), nullptr))
        return invalid(error, "\"id\" holds a number that cannot be written back as JSON");
    id.assign(text, length);
    return true;
}

bool parse(std::string_view text, const RequestLimits &limits, DownlinkRequest &request,
           GError **error)
{
    if (!screen(text, limits.max_bytes, error))
        return false;
    g_autoptr(JsonParser) parser = json_parser_new();
    MemberCount members;
    g_signal_connect(parser, "object-member", G_CALLBACK(MemberCount::on_member), &members);
    g_signal_connect(parser, "object-end", G_CALLBACK(MemberCount::on_end), &members);
    GError *parse_error = nullptr;
    if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()),
                                    &parse_error)) {
        /* In the domain of every other refusal; json-glib may even fail
         * without saying why. */
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "not JSON%s%s",
                    parse_error != nullptr ? ": " : "",
                    parse_error != nullptr ? parse_error->message : "");
        g_clear_error(&parse_error);
        return false;
    }
    JsonNode *root = json_parser_get_root(parser);
    if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root))
        return invalid(error, "not a JSON object");
    JsonObject *o = json_node_get_object(root);
    /* The id first, so that a refusal can still be matched to its request. */
    const bool id_read = read_id(o, limits.max_id_bytes, request.id, error);
    if (!members.twice.empty()) {
        g_clear_error(error);
        if (members.twice == "id")
            request.id.clear(); /* which of the two? */
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "\"%s\" appears twice",
                    members.twice.c_str());
        return false;
    }
    if (!id_read)
        return false;
    guint64 device = 0, seq = 0, freq = 0;
    if (!read_uint(o, "device_id", 0, G_MAXUINT32, true, &device, error) ||
        !read_uint(o, "seq", 0, 4095, false, &seq, error) ||
        !read_payload(o, request.payload, error) ||
        !read_uint(o, "freq", 1, G_MAXUINT32, false, &freq, error))
        return false;
    request.device_id = static_cast<guint32>(device);
    request.seq = static_cast<guint16>(seq);
    request.freq = static_cast<guint32>(freq);
    return true;
}

} // namespace

bool parse_downlink_request(std::string_view text, const RequestLimits &limits,
                            DownlinkRequest &request, GError **error)
{
    GError *refusal = nullptr;
    if (parse(text, limits, request, &refusal))
        return true;
    /* A refusal is published: json-glib's messages quote the request, a
     * member's name is the request's, and either may hold what a lone
     * surrogate became. */
    if (!g_utf8_validate(refusal->message, -1, nullptr)) {
        gchar *valid = g_utf8_make_valid(refusal->message, -1);
        g_free(refusal->message);
        refusal->message = valid;
    }
    g_propagate_error(error, refusal);
    return false;
}

} // namespace vekbs
