/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Cards: creation from a configuration, the register model seen from the test, what the
 * card saw, and fault injection. */
#include "vekemu-private.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace
{

void init_common(VekemuCardConfig *cfg)
{
    *cfg = VekemuCardConfig{};
    cfg->bcd_device = 0x0100;
    cfg->manufacturer = "Kavrin";
    cfg->product = "VEK radio card";
    cfg->serial = nullptr;
    cfg->hw_version = 0x12030405;
    cfg->sw_version = 0x01020304;
    cfg->mode = 0;
    cfg->rx_cf = 868100000;
    cfg->tx_cf = 869525000;
    cfg->xf = 260000000;
    cfg->preamp = 0;
    cfg->sampling = 192000;
    cfg->tx_level = 14;
    cfg->format = 16;
    cfg->temperature = 315;
    cfg->uptime = 0;
    cfg->pacing = VEKEMU_PACING_REALTIME;
    cfg->sigmf_path = nullptr;
    cfg->dfu_transfer_size = 1024;
    cfg->dfu_detach_timeout = 0;
    cfg->dfu_attributes = 0x05;
    cfg->dfu_poll_timeout_ms = 5;
    cfg->dfu_busy_polls = 1;
    cfg->runtime_vid = VEKEMU_VID_VEK;
    cfg->runtime_pid = VEKEMU_PID_VEK;
    cfg->dfu_descriptor_length = 9;
}

VekemuCard *add_card(VekemuBed *vbed, const VekemuCardConfig *cfg, bool dfu, GError **error)
{
    vekemu::Bed *bed = vekemu::bed_instance();
    g_return_val_if_fail(vbed != nullptr && bed != nullptr, nullptr);
    VekemuCardConfig defaults;
    if (cfg == nullptr) {
        if (dfu)
            vekemu_dfu_config_init(&defaults);
        else
            vekemu_card_config_init(&defaults);
        cfg = &defaults;
    }
    Lock lock(bed->mu);
    auto card = std::make_unique<VekemuCard>();
    card->bed = bed;
    card->cfg.c = *cfg;
    card->cfg.manufacturer = cfg->manufacturer != nullptr ? cfg->manufacturer : "";
    card->cfg.product = cfg->product != nullptr ? cfg->product : "";
    if (cfg->serial != nullptr) {
        card->cfg.serial = cfg->serial;
    } else {
        g_autofree gchar *serial = g_strdup_printf("VEK%08u", bed->next_serial++);
        card->cfg.serial = serial;
    }
    card->cfg.c.manufacturer = card->cfg.c.product = card->cfg.c.serial = nullptr;
    card->cfg.c.sigmf_path = nullptr;
    card->dfu_mode = dfu;
    card->vid = cfg->vid;
    card->pid = cfg->pid;

    vekemu::Registers &r = card->factory;
    r.hw_version = cfg->hw_version;
    r.sw_version = cfg->sw_version;
    r.mode = cfg->mode;
    r.rx_cf = cfg->rx_cf;
    r.tx_cf = cfg->tx_cf;
    r.xf = cfg->xf;
    r.preamp = cfg->preamp;
    r.sampling = cfg->sampling;
    r.tx_level = static_cast<guint32>(cfg->tx_level);
    r.format = cfg->format;
    r.temperature = static_cast<guint32>(cfg->temperature);
    r.uptime = cfg->uptime;
    card->regs = r;
    card->saved = r;
    card->uptime_frozen = cfg->uptime != 0;
    card->pacing = cfg->pacing;
    if (cfg->sigmf_path != nullptr) {
        card->source = vekemu::make_sigmf_source(cfg->sigmf_path, error);
        if (!card->source)
            return nullptr;
        card->cfg.sigmf_path = cfg->sigmf_path;
    } else {
        card->source = vekemu::make_counter_source();
    }
    if (!bed->plug(card.get(), error))
        return nullptr;
    card->index = static_cast<guint>(bed->cards.size());
    bed->cards.push_back(card.get());
    return card.release();
}

} // namespace

void vekemu_card_config_init(VekemuCardConfig *cfg)
{
    init_common(cfg);
    cfg->vid = VEKEMU_VID_VEK;
    cfg->pid = VEKEMU_PID_VEK;
}

void vekemu_dfu_config_init(VekemuCardConfig *cfg)
{
    init_common(cfg);
    cfg->vid = VEKEMU_VID_NXP;
    cfg->pid = VEKEMU_PID_NXP_DFU;
}

VekemuCard *vekemu_add_card(VekemuBed *bed, const VekemuCardConfig *cfg, GError **error)
{
    return add_card(bed, cfg, false, error);
}

VekemuCard *vekemu_add_dfu_card(VekemuBed *bed, const VekemuCardConfig *cfg, GError **error)
{
    return add_card(bed, cfg, true, error);
}

gboolean vekemu_card_is_dfu(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->dfu_mode;
}

guint16 vekemu_card_vid(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->vid;
}

guint16 vekemu_card_pid(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->pid;
}

guint8 vekemu_card_busnum(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->busnum;
}

guint8 vekemu_card_devnum(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->devnum;
}

gchar *vekemu_card_devnode(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return g_strdup(card->devnode.c_str());
}

gchar *vekemu_card_serial(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return g_strdup(card->cfg.serial.c_str());
}

guint32 vekemu_card_reg_get(VekemuCard *card, guint8 group, guint16 cmd)
{
    Lock lock(card->bed->mu);
    if (group == VEKEMU_GROUP_CONFIGURATION)
        return cmd == VEKEMU_CMD_CONFIGURATION_ERROR && !card->errors.empty() ? card->errors.front()
                                                                              : 0;
    if (group == VEKEMU_GROUP_MONITORING && cmd == VEKEMU_CMD_MONITORING_PING)
        return vekemu::uptime_now(card);
    guint32 *reg = card->regs.find(group, cmd);
    return reg != nullptr ? *reg : 0;
}

void vekemu_card_set_uptime_counted(VekemuCard *card, gboolean counted)
{
    Lock lock(card->bed->mu);
    card->uptime_uncounted = !counted;
}

void vekemu_card_reg_set(VekemuCard *card, guint8 group, guint16 cmd, guint32 value)
{
    Lock lock(card->bed->mu);
    guint32 *reg = card->regs.find(group, cmd);
    if (reg == nullptr)
        return;
    if (group == VEKEMU_GROUP_MONITORING && cmd == VEKEMU_CMD_MONITORING_PING)
        card->uptime_frozen = value != 0;
    if (group == VEKEMU_GROUP_DATA && cmd == VEKEMU_CMD_DATA_RX_STREAM &&
        (*reg != 0) != (value != 0))
        vekemu::stream_switched(card, value != 0);
    if (group == VEKEMU_GROUP_DATA && cmd == VEKEMU_CMD_DATA_SAMPLING && *reg != value)
        vekemu::stream_rate_changed(card);
    *reg = value;
}

void vekemu_card_push_error(VekemuCard *card, guint32 code)
{
    Lock lock(card->bed->mu);
    card->errors.push_back(code);
}

guint vekemu_card_error_depth(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return static_cast<guint>(card->errors.size());
}

guint vekemu_card_save_count(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->saves;
}

guint vekemu_card_factory_reset_count(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->factory_resets;
}

GArray *vekemu_card_events(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    GArray *a = g_array_sized_new(FALSE, TRUE, sizeof(VekemuEvent), card->events.size());
    g_array_append_vals(a, card->events.data(), card->events.size());
    return a;
}

void vekemu_card_clear_events(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    card->events.clear();
}

guint vekemu_card_dl_block_count(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return static_cast<guint>(card->dl_blocks.size());
}

GBytes *vekemu_card_dl_block(VekemuCard *card, guint index)
{
    Lock lock(card->bed->mu);
    return index < card->dl_blocks.size() ? g_bytes_ref(card->dl_blocks[index]) : nullptr;
}

void vekemu_card_set_pacing(VekemuCard *card, VekemuPacing pacing)
{
    Lock lock(card->bed->mu);
    card->pacing = pacing;
}

void vekemu_card_set_speed(VekemuCard *card, gdouble speed)
{
    Lock lock(card->bed->mu);
    if (!(speed > 0.0))
        return;
    vekemu::stream_rate_changed(card);
    card->speed = speed;
}

gboolean vekemu_card_set_sigmf(VekemuCard *card, const gchar *path, GError **error)
{
    auto source = vekemu::make_sigmf_source(path, error);
    if (!source)
        return FALSE;
    Lock lock(card->bed->mu);
    card->source = std::move(source);
    card->cfg.sigmf_path = path;
    return TRUE;
}

void vekemu_card_set_iq_source(VekemuCard *card, VekemuIqSource source, gpointer user_data)
{
    auto s = source != nullptr ? vekemu::make_callback_source(source, user_data)
                               : vekemu::make_counter_source();
    Lock lock(card->bed->mu);
    card->source = std::move(s);
}

guint64 vekemu_card_rx_bytes(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->rx_offset;
}

void vekemu_card_fault_control(VekemuCard *card, gint group, gint cmd, VekemuFault fault,
                               guint count)
{
    vekemu_card_fault_control_after(card, group, cmd, fault, 0, count);
}

void vekemu_card_fault_control_after(VekemuCard *card, gint group, gint cmd, VekemuFault fault,
                                     guint after, guint count)
{
    Lock lock(card->bed->mu);
    if (fault == VEKEMU_FAULT_NONE || count == 0) {
        card->control_faults.clear();
        return;
    }
    card->control_faults.push_back({group, cmd, fault, count, after});
}

void vekemu_card_set_unresponsive(VekemuCard *card, gboolean unresponsive)
{
    Lock lock(card->bed->mu);
    card->unresponsive = unresponsive;
}

void vekemu_card_fault_rx(VekemuCard *card, VekemuFault fault, guint count)
{
    Lock lock(card->bed->mu);
    card->rx_fault = fault;
    card->rx_fault_count = fault == VEKEMU_FAULT_NONE ? 0 : count;
}

void vekemu_card_refuse_rx(VekemuCard *card, guint after, guint count)
{
    Lock lock(card->bed->mu);
    card->rx_refuse_after = count == 0 ? 0 : after;
    card->rx_refuse_count = count;
}

void vekemu_card_fault_dl(VekemuCard *card, VekemuDlFault fault, gsize accept, guint count)
{
    Lock lock(card->bed->mu);
    card->dl_fault = fault;
    card->dl_accept = accept;
    card->dl_fault_count = fault == VEKEMU_DL_FAULT_NONE ? 0 : count;
}

void vekemu_dfu_fault_status(VekemuCard *card, guint8 status, guint block)
{
    Lock lock(card->bed->mu);
    card->dfu_fault_status = status;
    card->dfu_fault_block = block;
}

void vekemu_dfu_set_status_length(VekemuCard *card, guint len)
{
    Lock lock(card->bed->mu);
    card->dfu_status_len = std::min(len, 6u);
}

GBytes *vekemu_dfu_image(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->dfu_last_image != nullptr ? g_bytes_ref(card->dfu_last_image) : nullptr;
}

guint vekemu_dfu_download_count(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->dfu_downloads;
}

guint8 vekemu_dfu_state(VekemuCard *card)
{
    Lock lock(card->bed->mu);
    return card->dfu_state;
}
