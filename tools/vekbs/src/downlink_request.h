/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A downlink request as it arrives from the network: bounded and screened
 * before json-glib sees it, then read strictly. */
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

namespace vekbs
{

/* What a request may hold; beyond it, the request is refused unread. */
struct RequestLimits {
    guint max_bytes = 1024;   /* the whole message */
    guint max_id_bytes = 128; /* the "id" member, as JSON text */
};

/* json-glib reads nested values recursively: a deep nesting would exhaust the
 * stack. A request is one object; its "id" may nest a little. */
constexpr int kMaxRequestDepth = 8;

struct DownlinkRequest {
    guint32 device_id = 0;
    guint16 seq = 0;
    std::vector<guint8> payload;
    guint32 freq = 0;
    std::string id; /* the request's "id" member as JSON text, or empty */
};

/* Reads one request: {"device_id": N or "N" or "0x..", "seq": 0-4095,
 * "payload": "hex" (at most 8 bytes), "freq": 1-4294967295 Hz, "id": any JSON
 * value (echoed)}. A request beyond @limits or nested deeper than
 * kMaxRequestDepth fails with G_IO_ERROR_MESSAGE_TOO_LARGE; anything else
 * that is not such an object (a NUL character, a key given twice, a number
 * written as a string or too long to be read exactly) with
 * G_IO_ERROR_INVALID_DATA. On failure @request.id still holds the "id" when it
 * could be read within its bound. */
bool parse_downlink_request(std::string_view text, const RequestLimits &limits,
                            DownlinkRequest &request, GError **error);
inline bool parse_downlink_request(std::string_view text, DownlinkRequest &request, GError **error)
{
    return parse_downlink_request(text, RequestLimits{}, request, error);
}

} // namespace vekbs
