/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <glib-object.h>
#include <iqhub/iqhub-export.h>

G_BEGIN_DECLS

/* SdrSynthWrapper: builds the 28-byte downlink frame (authentication code,
 * CRC, BCH coding, whitening) for a device and hands it to the host's
 * transmit callback. It transmits nothing itself. */
#define SDR_TYPE_SYNTH_WRAPPER (sdr_synth_wrapper_get_type())
IQHUB_EXPORT G_DECLARE_FINAL_TYPE(SdrSynthWrapper, sdr_synth_wrapper, SDR, SYNTH_WRAPPER, GObject)

/* Longest downlink payload, in bytes. */
#define SDR_SYNTH_WRAPPER_MAX_PAYLOAD 8
/* Length of a downlink frame, in bytes. */
#define SDR_SYNTH_WRAPPER_FRAME_LEN 28

    /**
     * SdrSynthWrapperTxCallback:
     * @self: the synthesis object
     * @frame: (array length=length) (element-type guint8) (transfer full): the
     *   downlink frame, which belongs to the callback (g_free)
     * @length: its length, SDR_SYNTH_WRAPPER_FRAME_LEN bytes
     * @freq: the transmit frequency in Hz
     * @user_data: (closure): the data given with the callback
     * @error: always NULL
     *
     * Returns: ignored
     */
    typedef gboolean (*SdrSynthWrapperTxCallback)(SdrSynthWrapper *self, guint8 *frame,
                                                  gsize length, guint32 freq, gpointer user_data,
                                                  GError **error);

IQHUB_EXPORT SdrSynthWrapper *sdr_synth_wrapper_new(void);
IQHUB_EXPORT SdrSynthWrapper *sdr_synth_wrapper_new_with_options(const gchar *first_property_name,
                                                                 ...);
IQHUB_EXPORT void sdr_synth_wrapper_unref(SdrSynthWrapper *self);
/**
 * sdr_synth_wrapper_set_tx_callback:
 * @callback: (scope notified) (closure user_data) (destroy notify) (nullable): receives each
 * downlink frame
 * @user_data: data for @callback
 * @notify: (nullable): releases @user_data when the object is finalised
 *
 * The destroy function runs on the user data when the object is finalised,
 * never when the callback is replaced: replacing it hands the previous user
 * data back to the caller, who frees it. Returns TRUE.
 */
IQHUB_EXPORT gboolean sdr_synth_wrapper_set_tx_callback(SdrSynthWrapper *self,
                                                        SdrSynthWrapperTxCallback callback,
                                                        gpointer user_data, GDestroyNotify notify,
                                                        GError **error);
/**
 * sdr_synth_wrapper_synthesize:
 * @data: (array length=data_len) (element-type guint8) (nullable): the payload
 * @data_len: its length in bytes
 *
 * Builds the frame for device @tstid and hands it with @freq to the transmit
 * callback, before returning. A payload longer than
 * SDR_SYNTH_WRAPPER_MAX_PAYLOAD bytes is refused: nothing is built, and the
 * refusal is logged.
 */
IQHUB_EXPORT void sdr_synth_wrapper_synthesize(SdrSynthWrapper *self, guint32 tstid, guint16 seq,
                                               const guint8 *data, guint8 data_len, guint32 freq);

G_END_DECLS
