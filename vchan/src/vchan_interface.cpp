/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The C entry points. Nothing here throws: the library is built without
 * exceptions, and allocation happens only in vchan_new(). */
#include <vchan/vchan.h>

#include "vchan_receiver.h"

#include <cstring>
#include <new>

struct vchan_receiver {
    vchan::Receiver impl;
};

int32_t vchan_new(const vchan_config_t *config, vchan_receiver_t **receiver)
{
    if (receiver != nullptr)
        *receiver = nullptr;
    if (config == nullptr || receiver == nullptr)
        return VCHAN_INTERNAL_ERROR;
    if (!(config->int_gain >= 0.f))
        return VCHAN_NEGATIVE_INT_GAIN;
    if (config->rates == 0 || (config->rates & ~(VCHAN_RATE_100BPS | VCHAN_RATE_600BPS)) != 0)
        return VCHAN_UNSUPPORTED_BITRATE;
    auto *r = new (std::nothrow) vchan_receiver{vchan::Receiver(config->rates, config->int_gain)};
    if (r == nullptr || !r->impl.ok()) {
        delete r;
        return VCHAN_INTERNAL_ERROR;
    }
    *receiver = r;
    return VCHAN_OK;
}

void vchan_free(vchan_receiver_t *receiver)
{
    delete receiver;
}

void vchan_get_version(vdem_interface_version_t *version)
{
    if (version != nullptr)
        memcpy(*version, "01.00.00", sizeof "01.00.00");
}

int32_t vchan_get_iq_packet_size(const vchan_receiver_t *receiver)
{
    return receiver != nullptr ? receiver->impl.packet_size() : 0;
}

int32_t vchan_post_iq_packet(vchan_receiver_t *receiver, const short *samplebuf, int nbSamples)
{
    if (receiver == nullptr || nbSamples < 0 || (samplebuf == nullptr && nbSamples > 0))
        return VCHAN_POST_INVALID;
    receiver->impl.post(samplebuf, nbSamples);
    return VCHAN_POST_OK;
}

int32_t vchan_cb_register_fdata_exit_fct(vchan_receiver_t *receiver, fdata_exit_fct_ptr ptr,
                                         const void *userdata)
{
    if (receiver == nullptr)
        return VCHAN_CB_REGISTER_WRONG_POINTER;
    receiver->impl.on_frame = ptr;
    receiver->impl.frame_data = userdata;
    return ptr != nullptr ? VCHAN_CB_REGISTER_OK : VCHAN_CB_REGISTER_WRONG_POINTER;
}

int32_t vchan_cb_register_rfsat_exit_fct(vchan_receiver_t *receiver, rfsat_exit_fct_ptr ptr,
                                         const void *userdata)
{
    if (receiver == nullptr)
        return VCHAN_CB_REGISTER_WRONG_POINTER;
    receiver->impl.on_saturation = ptr;
    receiver->impl.saturation_data = userdata;
    return ptr != nullptr ? VCHAN_CB_REGISTER_OK : VCHAN_CB_REGISTER_WRONG_POINTER;
}

uint32_t vchan_get_frame_bit_rate(const vchan_receiver_t *receiver)
{
    return receiver != nullptr ? uint32_t(receiver->impl.reporting_rate()) : 0u;
}

uint32_t vchan_get_frame_combined(const vchan_receiver_t *receiver)
{
    return receiver != nullptr ? receiver->impl.reporting_repetitions() : 0u;
}

int32_t vchan_set_combining(vchan_receiver_t *receiver, int32_t enabled)
{
    if (receiver == nullptr)
        return VCHAN_POST_INVALID;
    receiver->impl.set_combining(enabled != 0);
    return VCHAN_POST_OK;
}
