/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The public header must compile as plain C11 and keep its record layouts. */
#include <stddef.h>
#include <vdem/vdem.h>

_Static_assert(sizeof(vdem_interface_config_t) == 8, "config layout");
_Static_assert(offsetof(vdem_proto_frame_t, snr) == 4, "frame layout");
_Static_assert(offsetof(vdem_proto_frame_t, tid) == 16, "frame layout");
_Static_assert(offsetof(vdem_proto_frame_t, f) == 20, "frame layout");
_Static_assert(sizeof(vdem_proto_frame_f_t) == 4, "flag union layout");
_Static_assert(offsetof(vdem_proto_frame_t, frame) == 24, "frame layout");
_Static_assert(offsetof(vdem_proto_frame_t, length) == 51, "frame layout");
_Static_assert(offsetof(vdem_proto_frame_t, protocol) == 52, "frame layout");
_Static_assert(sizeof(vdem_rfsat_t) == 8, "rfsat layout");
_Static_assert(sizeof(vdem_error_t) == 68, "error layout");
_Static_assert(sizeof(vdem_dl_specs_t) == 16, "downlink request layout");
_Static_assert(sizeof(vdem_dl_frame_t) == 28, "downlink frame layout");
_Static_assert(sizeof(vdem_interface_version_t) == 20, "version buffer");

int vdem_header_check_entry(void);
int vdem_header_check_entry(void)
{
    vdem_interface_version_t version;
    VDEM_INTERFACE_get_version(&version);
    return version[0];
}
