/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Test harness around the demodulator's public interface: collects the
 * reports and posts signals packet by packet. */
#pragma once

#include <cstdint>
#include <vector>

#include <vdem/vdem.h>

namespace vdem_test
{

struct Reports {
    std::vector<vdem_proto_frame_t> frames;
    std::vector<vdem_rfsat_t> rfsat;
    std::vector<uint32_t> frame_entries;
};

inline void collect_frame(vdem_frame_cont_t *cont, const void *userdata)
{
    auto *r = static_cast<Reports *>(const_cast<void *>(userdata));
    r->frame_entries.push_back(cont->entries);
    r->frames.push_back(cont->pframe[0]);
}

inline void collect_rfsat(vdem_rfsat_t *rfsat, const void *userdata)
{
    static_cast<Reports *>(const_cast<void *>(userdata))->rfsat.push_back(*rfsat);
}

/* Starts the instance at the given rate and gain with collecting callbacks;
 * returns the packet size (0 on failure). */
inline int32_t start(int32_t bitrate, float gain, Reports *reports)
{
    VDEM_INTERFACE_terminate();
    vdem_interface_config_t config{bitrate, gain};
    char msg[64] = {0};
    if (VDEM_INTERFACE_init(&config, msg) != VDEM_INTERFACE_OK)
        return 0;
    VDEM_INTERFACE_cb_register_fdata_exit_fct(collect_frame, reports);
    VDEM_INTERFACE_cb_register_rfsat_exit_fct(collect_rfsat, reports);
    return VDEM_INTERFACE_get_iq_packet_size();
}

/* Posts whole packets of iq (interleaved); a last partial packet is padded
 * with zeros, as the host does. */
inline void post_all(std::vector<int16_t> iq, int32_t packet)
{
    size_t per = 2 * (size_t)packet;
    iq.resize((iq.size() + per - 1) / per * per, 0);
    for (size_t off = 0; off < iq.size(); off += per)
        VDEM_INTERFACE_post_iq_packet(iq.data() + off, packet);
}

} // namespace vdem_test
