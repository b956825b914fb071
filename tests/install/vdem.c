/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <vdem/vdem.h>

int main(void)
{
    /* Idle instance: no packet size until init. */
    return VDEM_INTERFACE_get_iq_packet_size() == 0 ? 0 : 1;
}
