/* SPDX-License-Identifier: GPL-2.0-or-later */
/* USB descriptors of the card and of its DFU boot loader. */
#include "vekemu-private.h"

namespace vekemu
{

namespace
{

constexpr guint8 STR_MANUFACTURER = 1;
constexpr guint8 STR_PRODUCT = 2;
constexpr guint8 STR_SERIAL = 3;
constexpr guint8 STR_DFU_INTERFACE = 4;
constexpr guint16 LANG_EN_US = 0x0409;
constexpr guint16 BULK_PACKET = 512;

void put16(std::vector<guint8> &v, guint16 x)
{
    v.push_back(x & 0xFF);
    v.push_back(x >> 8);
}

void interface(std::vector<guint8> &v, guint8 number, guint8 endpoints, guint8 cls, guint8 sub,
               guint8 proto, guint8 name)
{
    v.insert(v.end(), {9, 0x04, number, 0, endpoints, cls, sub, proto, name});
}

void bulk_endpoint(std::vector<guint8> &v, guint8 address)
{
    v.insert(v.end(), {7, 0x05, address, 0x02});
    put16(v, BULK_PACKET);
    v.push_back(0);
}

} // namespace

std::vector<guint8> device_descriptor(const VekemuCard *card)
{
    std::vector<guint8> v{18, 0x01};
    put16(v, 0x0200);
    v.insert(v.end(), {0x00, 0x00, 0x00, 64});
    put16(v, card->vid);
    put16(v, card->pid);
    put16(v, card->dfu_mode ? 0x0100 : card->cfg.c.bcd_device);
    v.insert(v.end(), {STR_MANUFACTURER, STR_PRODUCT, STR_SERIAL, 1});
    return v;
}

std::vector<guint8> config_descriptor(const VekemuCard *card)
{
    std::vector<guint8> body;
    guint8 interfaces;
    if (card->dfu_mode) {
        interfaces = 1;
        interface(body, 0, 0, 0xFE, 0x01, 0x02, STR_DFU_INTERFACE);
        const VekemuCardConfig &c = card->cfg.c;
        const bool dfu10 = c.dfu_descriptor_length == 7;
        body.insert(body.end(), {static_cast<guint8>(dfu10 ? 7 : 9), 0x21, c.dfu_attributes});
        put16(body, c.dfu_detach_timeout);
        put16(body, c.dfu_transfer_size);
        if (!dfu10)
            put16(body, 0x0110);
    } else {
        interfaces = 3;
        interface(body, 0, 1, 0xFF, 0x00, 0x00, 0);
        bulk_endpoint(body, EP_RX);
        interface(body, 1, 0, 0xFF, 0x00, 0x00, 0);
        interface(body, 2, 1, 0xFF, 0x00, 0x00, 0);
        bulk_endpoint(body, EP_DL);
    }
    std::vector<guint8> v{9, 0x02};
    put16(v, static_cast<guint16>(9 + body.size()));
    v.insert(v.end(), {interfaces, 1, 0, 0x80, 250});
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

std::vector<guint8> string_descriptor(const VekemuCard *card, guint8 index)
{
    std::vector<guint8> v;
    if (index == 0) {
        v = {4, 0x03};
        put16(v, LANG_EN_US);
        return v;
    }
    const std::string *text = nullptr;
    static const std::string dfu_name = "VEK boot loader";
    switch (index) {
    case STR_MANUFACTURER:
        text = &card->cfg.manufacturer;
        break;
    case STR_PRODUCT:
        text = &card->cfg.product;
        break;
    case STR_SERIAL:
        text = &card->cfg.serial;
        break;
    case STR_DFU_INTERFACE:
        if (card->dfu_mode)
            text = &dfu_name;
        break;
    default:
        break;
    }
    if (text == nullptr)
        return v;
    gsize n = std::min<gsize>(text->size(), 126);
    v.push_back(static_cast<guint8>(2 + 2 * n));
    v.push_back(0x03);
    for (gsize i = 0; i < n; i++)
        put16(v, static_cast<guint8>((*text)[i]));
    return v;
}

std::string hex_upper(const std::vector<guint8> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (guint8 b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 0xF]);
    }
    return s;
}

} // namespace vekemu
