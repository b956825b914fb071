/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Runs a receiver (the demodulator library or the channelised receiver) over
 * generated or recorded I/Q and matches what it reports against the truth of the
 * frames sent. Shared by vekdecode, the tests and the measurement programs. */
#pragma once

#include "vekgen/vekgen.h"

#include <vchan/vchan.h>
#include <vdem/vdem.h>

#include <string>
#include <vector>

namespace vekgen
{

struct Report {
    vdem_proto_frame_t frame;
    guint64 counter; /* samples posted up to the end of the packet that reported it */
    guint rate;      /* bit rate of the frame */
    /* For a message recovered by combining its repetitions: those that went into
     * it, bit n - 1 for repetition n; 0 for a frame decoded alone. */
    guint32 combined = 0;
};

/* What both receivers share: posting packet by packet, the sample counter and the
 * reports. */
class Receiver
{
  public:
    virtual ~Receiver() = default;
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    /* Empty when the receiver started; its message otherwise. */
    const std::string &error() const { return error_; }
    gsize packet_size() const { return packet_size_; }
    /* 100 or 600; 0 for a receiver of both rates. */
    guint rate() const { return rate_; }
    float int_gain() const { return int_gain_; }

    /* Posts one packet of packet_size() samples. */
    void post(const gint16 *iq);
    /* Posts @n_samples of @signal packet by packet (the last one padded with zeros). */
    void run(VekgenSignal *signal, guint64 n_samples);
    /* Posts the whole recording packet by packet (the last one padded with zeros). */
    bool run(VekgenRecording *recording, GError **error);

    guint64 counter() const { return counter_; }
    const std::vector<Report> &reports() const { return reports_; }
    guint64 saturation_reports() const { return saturations_; }
    /* Reports that could not be stored (out of memory). */
    guint64 lost_reports() const { return lost_reports_; }
    void clear_reports() { reports_.clear(); }

  protected:
    Receiver(guint rate, float int_gain) : rate_(rate), int_gain_(int_gain) {}
    /* Called once the library has started with its packet size. */
    void started(gsize packet_size);
    /* Hands the packet in packet_ to the library. */
    virtual void deliver() = 0;
    /* For the callbacks; nothing may unwind through the libraries. */
    void add_report(const vdem_proto_frame_t &frame, guint rate, guint32 combined = 0) noexcept;
    void add_saturation() { saturations_++; }

    std::string error_;
    std::vector<gint16> packet_;

  private:
    guint rate_;
    float int_gain_;
    gsize packet_size_ = 0;
    guint64 counter_ = 0;
    guint64 saturations_ = 0;
    guint64 lost_reports_ = 0;
    std::vector<Report> reports_;
};

/* The one demodulator instance (libvdem), started at @rate with @int_gain for the
 * lifetime of the object. Only one may exist at a time. */
class Decoder : public Receiver
{
  public:
    Decoder(guint rate, float int_gain);
    ~Decoder() override;

  private:
    void deliver() override;
    static void on_frame(vdem_frame_cont_t *cont, const void *self);
    static void on_saturation(vdem_rfsat_t *rfsat, const void *self);
};

/* The channelised receiver (libvchan) at one rate or both (@rate 0). Any number may
 * exist at a time. @packet_size 0 takes the library's. */
class ChannelDecoder : public Receiver
{
  public:
    ChannelDecoder(guint rate, float int_gain, gsize packet_size = 0, bool combining = true);
    ~ChannelDecoder() override;

  private:
    void deliver() override;
    static void on_frame(vdem_frame_cont_t *cont, const void *self);
    static void on_saturation(vdem_rfsat_t *rfsat, const void *self);

    vchan_receiver_t *receiver_ = nullptr;
};

/* One sent frame and what became of it. */
struct Outcome {
    VekgenFrame truth;
    int report = -1;       /* index into the reports, -1 when missed */
    double freq_error = 0; /* reported freq - offset, folded into -96 kHz..96 kHz */
    double rssi_error = 0; /* reported rssi - (power - int_gain) */
};

struct Match {
    std::vector<Outcome> frames; /* the truth frames of the decoder's rate, in order */
    std::vector<int> false_reports;
    guint found = 0, missed = 0;
};

/* Pairs every report with the earliest unmatched sent frame of the same rate, type and
 * bytes that had started before the report. @origin is the signal sample at which the
 * receiver's counter was 0. A receiver of both rates is matched with the frames of
 * both. */
Match match(const Receiver &receiver, const VekgenFrame *truth, guint n_truth, guint64 origin = 0);

/* One sent message (the frames of one message number) and what became of it: it
 * is received when a report carries its bytes. */
struct MessageOutcome {
    guint number = 0;
    guint rate = 0;
    VekgenFrame first{};       /* its first frame sent */
    guint sent = 0;            /* repetitions on the air */
    bool received = false;     /* some report carries its bytes */
    bool by_combining = false; /* only reports of combined repetitions do */
};

struct MessageMatch {
    std::vector<MessageOutcome> messages; /* in order of number */
    guint received = 0, lost = 0, by_combining = 0;
};

/* Groups the sent frames of @truth by message number (frames of no message are left
 * out) and looks for their bytes in @receiver's reports made after the message's
 * first frame started. */
MessageMatch match_messages(const Receiver &receiver, const VekgenFrame *truth, guint n_truth,
                            guint64 origin = 0);

/* The repetitions of a combined report as text, "1,3". */
std::string repetitions_text(guint32 combined);

/* A frame's covered bytes as hexadecimal text. */
std::string hex(const guint8 *bytes, guint n);

} // namespace vekgen
