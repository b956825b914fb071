/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The card's control requests: radio, versions, configuration storage,
 * error stack, monitoring, preamplifier register and TX level. */
#include <utility>

#include "bottom.h"

namespace
{

struct PreampField {
    guint32 mask;
    guint shift;
};

/* One 4-bit field per preamplifier; an unknown id has no field. */
PreampField preamp_check_and_prepare(VektypePreampId id)
{
    switch (id) {
    case XVEK_CTL_PREAMP_ID_VAL0:
        return {0x0F00, 8};
    case XVEK_CTL_PREAMP_ID_VAL1:
        return {0x00F0, 4};
    case XVEK_CTL_PREAMP_ID_VAL2:
        return {0x000F, 0};
    case XVEK_CTL_PREAMP_ID_VALMAX:
        break;
    }
    return {0, 0};
}

/* LNA and anything unknown are written as 0. */
guint32 preamp_mode_to_rawvalue(VektypePreampMode mode)
{
    switch (mode) {
    case XVEK_CTL_PREAMP_MODE_BYPASS:
    case XVEK_CTL_PREAMP_MODE_ATTEN:
        return static_cast<guint32>(mode);
    case XVEK_CTL_PREAMP_MODE_LNA:
    case XVEK_CTL_PREAMP_MODE_MAX:
        break;
    }
    return 0;
}

VektypePreampMode preamp_rawvalue_to_mode(guint32 raw)
{
    switch (raw) {
    case 0:
        return XVEK_CTL_PREAMP_MODE_LNA;
    case 1:
        return XVEK_CTL_PREAMP_MODE_BYPASS;
    case 2:
        return XVEK_CTL_PREAMP_MODE_ATTEN;
    default:
        return XVEK_CTL_PREAMP_MODE_MAX;
    }
}

/* Carrier frequency command of a mode; 0 when the mode has none. */
guint16 cf_command(VektypeCtlMode mode)
{
    switch (mode) {
    case XVEK_CTL_MODE_RX:
        return E_ZADIZAVE_CMD_RADIO_RX_CF;
    case XVEK_CTL_MODE_TX:
        return E_ZADIZAVE_CMD_RADIO_TX_CF;
    case XVEK_CTL_MODE_LBT:
    case XVEK_CTL_MODE_MAX:
        break;
    }
    return 0;
}

gboolean in_with_prefix(sBottomPriv *b, guint8 group, guint16 cmd, guint32 *value,
                        const gchar *prefix, GError **error)
{
    if (!usb_in(b, group, cmd, value, error)) {
        if (prefix != nullptr)
            g_prefix_error(error, "%s", prefix);
        return FALSE;
    }
    return TRUE;
}

gboolean out_with_prefix(sBottomPriv *b, guint8 group, guint16 cmd, guint32 value,
                         const gchar *prefix, GError **error)
{
    if (!usb_out(b, group, cmd, value, error)) {
        if (prefix != nullptr)
            g_prefix_error(error, "%s", prefix);
        return FALSE;
    }
    return TRUE;
}

} // namespace

gchar *parse_raw_swver(guint32 word)
{
    return g_strdup_printf("%u.%u.%u", word >> 24, (word >> 16) & 0xFF, word & 0xFF);
}

gchar *parse_raw_hwver(guint32 word)
{
    const guint product = word >> 28;
    const gchar *format;
    switch (product) {
    case 0:
        format = "TAV_%03u_V%u.%u [%u]";
        break;
    case 1:
        format = "ZEP_%03u_V%u.%u [%u]";
        break;
    default:
        format = "UNK_%03u_V%u.%u [%u]";
        break;
    }
    return g_strdup_printf(format, (word >> 24) & 0x0F, (word >> 16) & 0xFF, (word >> 8) & 0xFF,
                           word & 0xFF);
}

gboolean bottom_ctrl_init(sBottomPriv *b, GError **error)
{
    if (b == nullptr)
        return xvek_invalid_handle("bottom_ctrl_init", error);
    return TRUE;
}

void bottom_ctrl_release(sBottomPriv *b)
{
    if (b == nullptr)
        g_warning("bottom_ctrl_release: no card");
}

gboolean bottom_ctrl_ping(sBottomPriv *b, GError **error)
{
    guint32 ignored = 0;
    return in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_MONITORING, E_ZADIZAVE_CMD_MONITORING_PING,
                          &ignored, nullptr, error);
}

gboolean bottom_ctrl_uptime(sBottomPriv *b, guint32 *uptime, GError **error)
{
    guint32 value = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_MONITORING, E_ZADIZAVE_CMD_MONITORING_PING, &value,
                        nullptr, error))
        return FALSE;
    if (value == 0) {
        xvek_set_error(error, "uptime request not supported");
        return FALSE;
    }
    *uptime = value;
    return TRUE;
}

gboolean bottom_ctrl_swinfo(sBottomPriv *b, gchar **info, GError **error)
{
    guint32 word = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_VERSION, E_ZADIZAVE_CMD_VERSION_SOFTWARE, &word,
                        "Failed reading sw info: ", error))
        return FALSE;
    *info = parse_raw_swver(word);
    return TRUE;
}

gboolean bottom_ctrl_hwinfo(sBottomPriv *b, gchar **info, GError **error)
{
    guint32 word = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_VERSION, E_ZADIZAVE_CMD_VERSION_HARDWARE, &word,
                        "Failed reading hw info: ", error))
        return FALSE;
    *info = parse_raw_hwver(word);
    return TRUE;
}

gboolean bottom_ctrl_cf_set(sBottomPriv *b, guint32 freq, VektypeCtlMode mode, GError **error)
{
    const guint16 cmd = cf_command(mode);
    if (cmd == 0) {
        xvek_set_error(error, "Unknown mode %u", static_cast<guint>(mode));
        return FALSE;
    }
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, cmd, freq,
                           "Failed to send vek ctrl radio cf set: ", error);
}

gboolean bottom_ctrl_cf_get(sBottomPriv *b, guint32 *freq, VektypeCtlMode mode, GError **error)
{
    const guint16 cmd = cf_command(mode);
    if (cmd == 0) {
        xvek_set_error(error, "Unknown mode %u", static_cast<guint>(mode));
        return FALSE;
    }
    return in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, cmd, freq,
                          "Failed to send vek ctrl radio cf get: ", error);
}

gboolean bottom_ctrl_xf_set(sBottomPriv *b, guint32 freq, GError **error)
{
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_XF, freq,
                           "Failed to send vek ctrl radio xf set: ", error);
}

gboolean bottom_ctrl_xf_get(sBottomPriv *b, guint32 *freq, GError **error)
{
    return in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_XF, freq,
                          "Failed to send vek ctrl radio xf get: ", error);
}

gboolean bottom_ctrl_eeprom_save(sBottomPriv *b, GError **error)
{
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_CONFIGURATION, E_ZADIZAVE_CMD_CONFIGURATION_SAVE,
                           0, "Failed to send vek ctrl configuration save: ", error);
}

gboolean bottom_ctrl_eeprom_factory_reset(sBottomPriv *b, GError **error)
{
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_CONFIGURATION,
                           E_ZADIZAVE_CMD_CONFIGURATION_FACTORY_RESET, 0,
                           "Failed to send vek ctrl configuration reset: ", error);
}

gboolean bottom_ctrl_error_get_last(sBottomPriv *b, guint32 *perror, GError **error)
{
    return in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_CONFIGURATION, E_ZADIZAVE_CMD_CONFIGURATION_ERROR,
                          perror, "Failed to send vek ctrl configuratione error get: ", error);
}

gboolean bottom_ctrl_temperature_get(sBottomPriv *b, gint32 *ptemp, GError **error)
{
    guint32 raw = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_MONITORING, E_ZADIZAVE_CMD_MONITORING_TEMPERATURE,
                        &raw, "Failed to send vek temperature get: ", error))
        return FALSE;
    *ptemp = static_cast<gint32>(raw);
    return TRUE;
}

gboolean bottom_ctrl_pa_set(sBottomPriv *b, VektypePreampId pa_id, VektypePreampMode pa_mode,
                            GError **error)
{
    const PreampField field = preamp_check_and_prepare(pa_id);
    guint32 reg = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_PREAMP, &reg,
                        "Failed to send preamp get: ", error))
        return FALSE;
    reg = (reg & ~field.mask) | ((preamp_mode_to_rawvalue(pa_mode) << field.shift) & field.mask);
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_PREAMP, reg,
                           "Failed to send preamp set: ", error);
}

gboolean bottom_ctrl_pa_get(sBottomPriv *b, VektypePreampId pa_id, VektypePreampMode *pa_mode,
                            GError **error)
{
    const PreampField field = preamp_check_and_prepare(pa_id);
    guint32 reg = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_PREAMP, &reg,
                        "Failed to send preamp get: ", error))
        return FALSE;
    if (field.mask == 0) {
        *pa_mode = XVEK_CTL_PREAMP_MODE_LNA;
        return TRUE;
    }
    *pa_mode = preamp_rawvalue_to_mode((reg & field.mask) >> field.shift);
    return TRUE;
}

gboolean bottom_ctrl_mode_get(sBottomPriv *b, VektypeCtlMode *mode, GError **error)
{
    guint32 raw = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_MODE, &raw,
                        "Failed to send vek ctrl radio mode get: ", error))
        return FALSE;
    switch (raw) {
    case 0:
        *mode = XVEK_CTL_MODE_RX;
        return TRUE;
    case 1:
        *mode = XVEK_CTL_MODE_TX;
        return TRUE;
    default:
        xvek_set_error(error, "Unknown mode value %u", raw);
        return FALSE;
    }
}

gboolean bottom_ctrl_mode_set(sBottomPriv *b, VektypeCtlMode mode, GError **error)
{
    guint32 raw;
    switch (mode) {
    case XVEK_CTL_MODE_RX:
        raw = 0;
        break;
    case XVEK_CTL_MODE_TX:
        raw = 1;
        break;
    default:
        xvek_set_error(error, "Unknown mode %u", static_cast<guint>(mode));
        return FALSE;
    }
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_RADIO, E_ZADIZAVE_CMD_RADIO_MODE, raw,
                           "Failed to send vek ctrl radio mode set: ", error);
}

gboolean bottom_ctrl_volume_set(sBottomPriv *b, VektypeCtlMode mode, gint32 volume, GError **error)
{
    if (mode != XVEK_CTL_MODE_TX) {
        xvek_set_error(error, "Unknown mode %u for volume command", static_cast<guint>(mode));
        return FALSE;
    }
    return out_with_prefix(b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_TX_LEVEL,
                           static_cast<guint32>(volume), nullptr, error);
}

gboolean bottom_ctrl_volume_get(sBottomPriv *b, VektypeCtlMode mode, gint32 *volume, GError **error)
{
    if (mode != XVEK_CTL_MODE_TX) {
        xvek_set_error(error, "Unknown mode %u for volume command", static_cast<guint>(mode));
        return FALSE;
    }
    guint32 raw = 0;
    if (!in_with_prefix(b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_TX_LEVEL, &raw, nullptr,
                        error))
        return FALSE;
    *volume = static_cast<gint32>(raw);
    return TRUE;
}

namespace
{

guint8 raw_request_type(const VektypeStructUsbFmap &f, bool in)
{
    guint8 type = static_cast<guint8>(((f.bmRT_type & 0x03) << 5) | (f.bmRT_recip & 0x1F));
    return in ? static_cast<guint8>(type | 0x80) : type;
}

} // namespace

gboolean bottom_ctrl_raw_usb_send(sBottomPriv *b, VektypeStructUsbFmap f, const guint8 *data,
                                  GError **error)
{
    /* libusb takes a mutable buffer but does not write an OUT data stage. */
    if (!bottom_usb_raw(b, raw_request_type(f, false), f.bR, f.wV, f.wI, const_cast<guint8 *>(data),
                        f.wL, nullptr, error)) {
        g_prefix_error(error, "Failed to send raw usb: ");
        return FALSE;
    }
    return TRUE;
}

gboolean bottom_ctrl_raw_usb_recv(sBottomPriv *b, VektypeStructUsbFmap f, guint8 **data,
                                  guint16 *received, GError **error)
{
    /* A zero-length answer still hands the caller a buffer it can free. */
    g_autofree guint8 *buf = static_cast<guint8 *>(g_try_malloc0(f.wL > 0 ? f.wL : 1));
    if (buf == nullptr) {
        xvek_set_error(error, "Can't allocate required length (%uB)", f.wL);
        return FALSE;
    }
    if (!bottom_usb_raw(b, raw_request_type(f, true), f.bR, f.wV, f.wI, buf, f.wL, received,
                        error)) {
        g_prefix_error(error, "Failed to send raw usb: ");
        return FALSE;
    }
    *data = std::exchange(buf, nullptr);
    return TRUE;
}
