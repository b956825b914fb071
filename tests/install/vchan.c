/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <stddef.h>
#include <vchan/vchan.h>

int main(void)
{
    /* A receiver of both rates starts, takes a packet of silence and reports nothing. */
    vchan_config_t config = {VCHAN_RATE_100BPS | VCHAN_RATE_600BPS, 0.f};
    vchan_receiver_t *rx = NULL;
    if (vchan_new(&config, &rx) != VCHAN_OK)
        return 1;
    static short silence[2 * 15360];
    const int ok = vchan_get_iq_packet_size(rx) == 15360 &&
                   vchan_post_iq_packet(rx, silence, 15360) == VCHAN_POST_OK;
    vchan_free(rx);
    return ok ? 0 : 1;
}
