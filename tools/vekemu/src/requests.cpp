/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Control requests on endpoint 0: standard requests, the card's vendor requests answered
 * from its register model, and the DFU class requests of the boot loader. */
#include "vekemu-private.h"

#include <algorithm>
#include <cstring>

namespace vekemu
{

namespace
{

constexpr guint8 DIR_IN = 0x80;
constexpr guint8 TYPE_MASK = 0x60;
constexpr guint8 TYPE_STANDARD = 0x00;
constexpr guint8 TYPE_CLASS = 0x20;
constexpr guint8 TYPE_VENDOR = 0x40;
constexpr guint8 RECIP_MASK = 0x1F;
constexpr guint8 RECIP_INTERFACE = 0x01;
constexpr guint8 RECIP_OTHER = 0x03;
constexpr gsize VALUE_LEN = 4;

guint32 get_le32(const guint8 *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<guint32>(p[3]) << 24);
}

void put_le32(guint8 *p, guint32 v)
{
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
    p[2] = (v >> 16) & 0xFF;
    p[3] = v >> 24;
}

gsize copy_in(guint8 *data, gsize wlength, const std::vector<guint8> &answer)
{
    gsize n = std::min(wlength, answer.size());
    memcpy(data, answer.data(), n);
    return n;
}

bool standard_request(VekemuCard *card, const Setup &s, guint8 *data, gsize *actual)
{
    constexpr guint8 GET_STATUS = 0, GET_DESCRIPTOR = 6, GET_CONFIGURATION = 8,
                     SET_CONFIGURATION = 9, GET_INTERFACE = 10, SET_INTERFACE = 11;
    switch (s.bRequest) {
    case GET_STATUS:
        if (!(s.bmRequestType & DIR_IN) || s.wLength < 2)
            return false;
        data[0] = data[1] = 0;
        *actual = 2;
        return true;
    case GET_DESCRIPTOR: {
        if (!(s.bmRequestType & DIR_IN))
            return false;
        std::vector<guint8> d;
        switch (s.wValue >> 8) {
        case 1:
            d = device_descriptor(card);
            break;
        case 2:
            if ((s.wValue & 0xFF) != 0)
                return false;
            d = config_descriptor(card);
            break;
        case 3:
            d = string_descriptor(card, s.wValue & 0xFF);
            break;
        default:
            break;
        }
        if (d.empty())
            return false;
        *actual = copy_in(data, s.wLength, d);
        return true;
    }
    case GET_CONFIGURATION:
        if (!(s.bmRequestType & DIR_IN) || s.wLength < 1)
            return false;
        data[0] = 1;
        *actual = 1;
        return true;
    case SET_CONFIGURATION:
        return s.wValue == 1;
    case GET_INTERFACE:
        if (!(s.bmRequestType & DIR_IN) || s.wLength < 1)
            return false;
        data[0] = 0;
        *actual = 1;
        return true;
    case SET_INTERFACE:
        return s.wValue == 0;
    default:
        return false;
    }
}

/* Vendor request of the control protocol: bRequest = group, wValue = command, 4-byte
 * little-endian value. */
bool vendor_request(VekemuCard *card, const Setup &s, guint8 *data, gsize *actual, guint32 *value)
{
    if ((s.bmRequestType & RECIP_MASK) != RECIP_OTHER || card->dfu_mode)
        return false;
    bool in = s.bmRequestType & DIR_IN;
    if (in ? s.wLength < VALUE_LEN : s.wLength != VALUE_LEN)
        return false;
    const guint8 group = s.bRequest;
    const guint16 cmd = s.wValue;

    if (!in)
        *value = get_le32(data);

    if (group == VEKEMU_GROUP_CONFIGURATION) {
        if (cmd == VEKEMU_CMD_CONFIGURATION_ERROR && in) {
            *value = 0;
            if (!card->errors.empty()) {
                *value = card->errors.front();
                card->errors.pop_front();
            }
        } else if (cmd == VEKEMU_CMD_CONFIGURATION_SAVE && !in) {
            card->saves++;
            card->saved = card->regs;
        } else if (cmd == VEKEMU_CMD_CONFIGURATION_FACTORY_RESET && !in) {
            card->factory_resets++;
            load_registers(card, card->factory);
            card->saved = card->factory;
        } else {
            return false;
        }
    } else if (group == VEKEMU_GROUP_VERSION || group == VEKEMU_GROUP_MONITORING) {
        if (!in)
            return false;
        if (group == VEKEMU_GROUP_MONITORING && cmd == VEKEMU_CMD_MONITORING_PING)
            *value = uptime_now(card);
        else {
            guint32 *reg = card->regs.find(group, cmd);
            if (reg == nullptr)
                return false;
            *value = *reg;
        }
    } else {
        guint32 *reg = card->regs.find(group, cmd);
        if (reg == nullptr)
            return false;
        if (in) {
            *value = *reg;
        } else {
            guint32 old = *reg;
            *reg = *value;
            if (group == VEKEMU_GROUP_DATA && cmd == VEKEMU_CMD_DATA_RX_STREAM &&
                (old != 0) != (*value != 0))
                stream_switched(card, *value != 0);
            if (group == VEKEMU_GROUP_DATA && cmd == VEKEMU_CMD_DATA_SAMPLING && old != *value)
                stream_rate_changed(card);
        }
    }
    if (in) {
        put_le32(data, *value);
        *actual = VALUE_LEN;
    } else {
        *actual = VALUE_LEN;
    }
    return true;
}

void dfu_fail(VekemuCard *card, guint8 status)
{
    card->dfu_state = DFU_ERROR;
    card->dfu_status = status;
}

/* DFU 1.1 class requests of the boot loader's interface 0. */
bool dfu_request(VekemuCard *card, const Setup &s, guint8 *data, gsize *actual)
{
    if (!card->dfu_mode || (s.bmRequestType & RECIP_MASK) != RECIP_INTERFACE || s.wIndex != 0)
        return false;
    const VekemuCardConfig &c = card->cfg.c;
    bool in = s.bmRequestType & DIR_IN;
    switch (s.bRequest) {
    case DFU_DETACH:
        if (in)
            return false;
        dfu_leave(card);
        return true;
    case DFU_DNLOAD: {
        if (in)
            return false;
        if (card->dfu_state != DFU_IDLE && card->dfu_state != DFU_DNLOAD_IDLE) {
            dfu_fail(card, DFU_STATUS_ERR_STALLEDPKT);
            return false;
        }
        if (s.wLength == 0) {
            if (card->dfu_state != DFU_DNLOAD_IDLE) {
                dfu_fail(card, DFU_STATUS_ERR_STALLEDPKT);
                return false;
            }
            if (card->dfu_last_image != nullptr)
                g_bytes_unref(card->dfu_last_image);
            card->dfu_last_image = g_bytes_new(card->dfu_image.data(), card->dfu_image.size());
            card->dfu_image.clear();
            card->dfu_downloads++;
            card->dfu_state = DFU_MANIFEST_SYNC;
            card->dfu_busy_left = c.dfu_busy_polls;
            return true;
        }
        if (s.wLength > c.dfu_transfer_size) {
            dfu_fail(card, DFU_STATUS_ERR_STALLEDPKT);
            return false;
        }
        if (card->dfu_state == DFU_IDLE) {
            card->dfu_image.clear();
            card->dfu_block = 0;
        }
        if (card->dfu_fault_status != 0 && card->dfu_block == card->dfu_fault_block) {
            card->dfu_block++;
            dfu_fail(card, card->dfu_fault_status);
            *actual = s.wLength;
            return true;
        }
        card->dfu_image.insert(card->dfu_image.end(), data, data + s.wLength);
        card->dfu_block++;
        card->dfu_state = DFU_DNLOAD_SYNC;
        card->dfu_busy_left = c.dfu_busy_polls;
        *actual = s.wLength;
        return true;
    }
    case DFU_GETSTATUS: {
        if (!in)
            return false;
        guint32 poll = 0;
        gint64 now = g_get_monotonic_time();
        bool busy = card->dfu_state == DFU_DNBUSY || card->dfu_state == DFU_MANIFEST;
        if (busy && now < card->dfu_busy_until) {
            /* Asked again before the announced poll timeout ran out: still busy, for the
             * rest of it. */
            poll = static_cast<guint32>((card->dfu_busy_until - now + 999) / 1000);
        } else if (card->dfu_state == DFU_DNLOAD_SYNC || card->dfu_state == DFU_DNBUSY) {
            if (card->dfu_busy_left > 0) {
                card->dfu_busy_left--;
                card->dfu_state = DFU_DNBUSY;
                poll = c.dfu_poll_timeout_ms;
                card->dfu_busy_until = now + poll * G_GINT64_CONSTANT(1000);
            } else {
                card->dfu_state = DFU_DNLOAD_IDLE;
            }
        } else if (card->dfu_state == DFU_MANIFEST_SYNC || card->dfu_state == DFU_MANIFEST) {
            if (card->dfu_busy_left > 0) {
                card->dfu_busy_left--;
                card->dfu_state = DFU_MANIFEST;
                poll = c.dfu_poll_timeout_ms;
                card->dfu_busy_until = now + poll * G_GINT64_CONSTANT(1000);
            } else if (c.dfu_attributes & 0x04) {
                card->dfu_state = DFU_IDLE;
            } else {
                card->dfu_state = DFU_MANIFEST_WAIT_RESET;
            }
        }
        guint8 answer[6] = {card->dfu_status,
                            static_cast<guint8>(poll & 0xFF),
                            static_cast<guint8>((poll >> 8) & 0xFF),
                            static_cast<guint8>((poll >> 16) & 0xFF),
                            card->dfu_state,
                            0};
        *actual = std::min<gsize>(std::min<gsize>(s.wLength, card->dfu_status_len), sizeof answer);
        memcpy(data, answer, *actual);
        return true;
    }
    case DFU_CLRSTATUS:
        if (in || card->dfu_state != DFU_ERROR)
            return false;
        card->dfu_state = DFU_IDLE;
        card->dfu_status = DFU_STATUS_OK;
        return true;
    case DFU_GETSTATE:
        if (!in || s.wLength < 1)
            return false;
        data[0] = card->dfu_state;
        *actual = 1;
        return true;
    case DFU_ABORT:
        if (in)
            return false;
        card->dfu_state = DFU_IDLE;
        card->dfu_image.clear();
        return true;
    default:
        return false;
    }
}

} // namespace

guint32 *Registers::find(guint8 group, guint16 cmd)
{
    switch (group) {
    case VEKEMU_GROUP_VERSION:
        return cmd == 0 ? &hw_version : cmd == 1 ? &sw_version : nullptr;
    case VEKEMU_GROUP_RADIO: {
        guint32 *radio[] = {&mode, &rx_cf, &tx_cf, &xf, &preamp};
        return cmd < G_N_ELEMENTS(radio) ? radio[cmd] : nullptr;
    }
    case VEKEMU_GROUP_DATA: {
        guint32 *d[] = {&rx_stream, &tx_stream, &loopback, &rx_xrun,  &tx_xrun,
                        &sampling,  &tx_level,  &format,   &dl_stream};
        return cmd < G_N_ELEMENTS(d) ? d[cmd] : nullptr;
    }
    case VEKEMU_GROUP_MONITORING:
        return cmd == 0 ? &uptime : cmd == 1 ? &temperature : nullptr;
    default:
        return nullptr;
    }
}

void load_registers(VekemuCard *card, const Registers &from)
{
    /* The stream and downlink state are not configuration. */
    guint32 rx = card->regs.rx_stream, tx = card->regs.tx_stream, dl = card->regs.dl_stream;
    card->regs = from;
    card->regs.rx_stream = rx;
    card->regs.tx_stream = tx;
    card->regs.dl_stream = dl;
}

guint32 uptime_now(const VekemuCard *card)
{
    if (card->uptime_uncounted)
        return 0;
    if (card->uptime_frozen)
        return card->regs.uptime;
    /* The card has been running for a second when the host first sees it. */
    return 10 + static_cast<guint32>((g_get_monotonic_time() - card->plug_time_us) / 100000);
}

void stream_switched(VekemuCard *card, bool on)
{
    if (on) {
        card->stream_start_us = g_get_monotonic_time();
        card->stream_epoch_offset = 0;
        card->rx_offset = 0;
        card->stream_session++;
    }
}

void stream_rate_changed(VekemuCard *card)
{
    card->stream_epoch_offset = std::max(card->stream_epoch_offset, card->rx_offset);
    card->stream_start_us = g_get_monotonic_time();
}

void log_event(VekemuCard *card, VekemuEventKind kind, const Setup *s, guint32 value, gsize length,
               bool stalled)
{
    VekemuEvent e{};
    e.kind = kind;
    if (s != nullptr) {
        e.bmRequestType = s->bmRequestType;
        e.bRequest = s->bRequest;
        e.wValue = s->wValue;
        e.wIndex = s->wIndex;
        e.wLength = s->wLength;
    }
    e.value = value;
    e.length = length;
    e.stalled = stalled;
    e.time_us = g_get_monotonic_time();
    card->events.push_back(e);
}

ControlResult control_request(VekemuCard *card, const Setup &s, guint8 *data, gsize *actual)
{
    *actual = 0;
    guint8 type = s.bmRequestType & TYPE_MASK;
    if (type == TYPE_STANDARD)
        return standard_request(card, s, data, actual) ? ControlResult::OK : ControlResult::STALL;

    /* Injected faults apply to vendor and class requests. */
    if (card->unresponsive) {
        log_event(card, VEKEMU_EVENT_CONTROL, &s, 0, 0, false);
        return ControlResult::NAK;
    }
    for (auto it = card->control_faults.begin(); it != card->control_faults.end(); ++it) {
        if ((it->group >= 0 && it->group != s.bRequest) || (it->cmd >= 0 && it->cmd != s.wValue))
            continue;
        if (it->after > 0) {
            it->after--;
            break; /* answered as usual */
        }
        VekemuFault fault = it->fault;
        if (--it->count == 0)
            card->control_faults.erase(it);
        log_event(card, VEKEMU_EVENT_CONTROL, &s, 0, 0, fault == VEKEMU_FAULT_STALL);
        switch (fault) {
        case VEKEMU_FAULT_TIMEOUT:
            return ControlResult::NAK;
        case VEKEMU_FAULT_ERROR:
        case VEKEMU_FAULT_OVERFLOW:
            return ControlResult::ERROR;
        case VEKEMU_FAULT_NO_DEVICE:
            return ControlResult::GONE;
        default:
            return ControlResult::STALL;
        }
    }

    bool ok = false;
    guint32 value = 0;
    if (type == TYPE_VENDOR)
        ok = vendor_request(card, s, data, actual, &value);
    else if (type == TYPE_CLASS)
        ok = dfu_request(card, s, data, actual);
    log_event(card, VEKEMU_EVENT_CONTROL, &s, value, *actual, !ok);
    return ok ? ControlResult::OK : ControlResult::STALL;
}

} // namespace vekemu
