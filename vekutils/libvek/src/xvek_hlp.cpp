/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Text and number forms of the card's values, for command lines and
 * configuration files. All pure; texts are constants unless stated. */
#include <cstring>

#include "xvek_priv.h"

namespace
{

bool same_text(const gchar *a, const gchar *b)
{
    return a != nullptr && std::strcmp(a, b) == 0;
}

} // namespace

extern "C" {

XVEK_EXPORT const gchar *xvek_hlp_mode_to_str(VektypeCtlMode mode)
{
    switch (mode) {
    case XVEK_CTL_MODE_RX:
        return "RX";
    case XVEK_CTL_MODE_TX:
        return "TX";
    case XVEK_CTL_MODE_LBT:
        return "LBT";
    case XVEK_CTL_MODE_MAX:
        break;
    }
    return "??";
}

XVEK_EXPORT VektypeCtlMode xvek_hlp_str_to_mode(const gchar *str)
{
    if (same_text(str, "RX"))
        return XVEK_CTL_MODE_RX;
    if (same_text(str, "TX"))
        return XVEK_CTL_MODE_TX;
    if (same_text(str, "LBT"))
        return XVEK_CTL_MODE_LBT;
    return XVEK_CTL_MODE_MAX;
}

XVEK_EXPORT VektypeStreamRate xvek_hlp_uint_to_rate(guint32 rate)
{
    switch (rate) {
    case 48000:
        return XVEK_STREAM_RATE_VAL48K;
    case 192000:
        return XVEK_STREAM_RATE_VAL192K;
    default:
        return XVEK_STREAM_RATE_VALUNSUPPORTED;
    }
}

XVEK_EXPORT gint xvek_hlp_preampid_to_int(VektypePreampId id)
{
    switch (id) {
    case XVEK_CTL_PREAMP_ID_VAL0:
        return 0;
    case XVEK_CTL_PREAMP_ID_VAL1:
        return 1;
    case XVEK_CTL_PREAMP_ID_VAL2:
        return 2;
    case XVEK_CTL_PREAMP_ID_VALMAX:
        break;
    }
    return -1;
}

XVEK_EXPORT VektypePreampId xvek_hlp_int_to_preampid(gint id)
{
    switch (id) {
    case 0:
        return XVEK_CTL_PREAMP_ID_VAL0;
    case 1:
        return XVEK_CTL_PREAMP_ID_VAL1;
    case 2:
        return XVEK_CTL_PREAMP_ID_VAL2;
    default:
        return XVEK_CTL_PREAMP_ID_VALMAX;
    }
}

XVEK_EXPORT const gchar *xvek_hlp_preampmode_to_str(VektypePreampMode mode)
{
    switch (mode) {
    case XVEK_CTL_PREAMP_MODE_LNA:
        return "LNA";
    case XVEK_CTL_PREAMP_MODE_BYPASS:
        return "BYPASS";
    case XVEK_CTL_PREAMP_MODE_ATTEN:
        return "ATTEN";
    case XVEK_CTL_PREAMP_MODE_MAX:
        break;
    }
    return "??";
}

XVEK_EXPORT VektypePreampMode xvek_hlp_str_to_preampmode(const gchar *str)
{
    if (same_text(str, "BYPASS"))
        return XVEK_CTL_PREAMP_MODE_BYPASS;
    if (same_text(str, "ATTEN"))
        return XVEK_CTL_PREAMP_MODE_ATTEN;
    if (same_text(str, "LNA"))
        return XVEK_CTL_PREAMP_MODE_LNA;
    return XVEK_CTL_PREAMP_MODE_MAX;
}

XVEK_EXPORT const gchar *xvek_hlp_synth_to_str(VektypeCtlSynth synth)
{
    switch (synth) {
    case XVEK_CTL_SYNTH_HIT:
        return "HITTITE";
    case XVEK_CTL_SYNTH_PRY:
        return "DARUDAR";
    case XVEK_CTL_SYNTH_MAX:
        break;
    }
    return "UNKNOWN";
}

XVEK_EXPORT VektypeStreamBitwidth xvek_hlp_uint_to_bw(guint32 bw)
{
    /* 32-bit samples exist as a value but the card cannot stream them. */
    switch (bw) {
    case 8:
        return XVEK_STREAM_BITWIDTH_VAL8;
    case 16:
        return XVEK_STREAM_BITWIDTH_VAL16;
    case 24:
        return XVEK_STREAM_BITWIDTH_VAL24;
    default:
        return XVEK_STREAM_BITWIDTH_VALUNSUPPORTED;
    }
}

XVEK_EXPORT VektypeStreamNbChannel xvek_hlp_uint_to_nbch(guint32 nbch)
{
    switch (nbch) {
    case 1:
        return XVEK_STREAM_NB_CHANNEL_VAL1;
    case 2:
        return XVEK_STREAM_NB_CHANNEL_VAL2;
    default:
        return XVEK_STREAM_NB_CHANNEL_VALUNSUPPORTED;
    }
}

XVEK_EXPORT const gchar *xvek_hlp_loopback_to_str(VektypeCtlLoopback lb)
{
    switch (lb) {
    case XVEK_CTL_LOOPBACK_OFF:
        return "OFF";
    case XVEK_CTL_LOOPBACK_ON:
        return "ON";
    case XVEK_CTL_LOOPBACK_MAX:
        break;
    }
    return "??";
}

XVEK_EXPORT VektypeCtlLoopback xvek_hlp_str_to_loopback(const gchar *str)
{
    if (same_text(str, "ON"))
        return XVEK_CTL_LOOPBACK_ON;
    if (same_text(str, "OFF"))
        return XVEK_CTL_LOOPBACK_OFF;
    return XVEK_CTL_LOOPBACK_MAX;
}

XVEK_EXPORT gchar *xvek_hlp_pprint_hwstats(const VektypeStructHwStats *stats)
{
    if (stats == nullptr)
        return nullptr;
    return g_strdup_printf("Stream stats:\n"
                           " Fifo xfer|xrun:    %" G_GUINT64_FORMAT "ms|%" G_GUINT64_FORMAT "ms\n"
                           " Hw count xfer|err: %" G_GUINT64_FORMAT "|%" G_GUINT64_FORMAT "\n"
                           " Hw xrun|cuts:      %" G_GUINT64_FORMAT "ms|%" G_GUINT64_FORMAT,
                           stats->fifo_ms_xfer, stats->fifo_ms_xrun, stats->hw_count_xfer,
                           stats->hw_count_error, stats->hw_ms_xrun, stats->hw_count_cuts);
}

XVEK_EXPORT gchar *xvek_hlp_get_package_info_string(void)
{
    return g_strdup_printf("%s [%s build]", "vekutils 2.0", "user");
}

} // extern "C"
