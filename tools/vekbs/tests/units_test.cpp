/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The live station's parts on their own: the RX hand-over, downlink
 * requests, broker addresses, latency percentiles, the key file, and the
 * service files that must agree with each other. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include <glib/gstdio.h>

#include "assembler.h"
#include "card.h"
#include "downlink.h"
#include "downlink_request.h"
#include "latency.h"
#include "life.h"
#include "mqtt.h"
#include "settings.h"

using namespace vekbs;

namespace
{

std::vector<guint8> transfer(guint8 fill, gsize length = RxQueue::kSlotBytes)
{
    return std::vector<guint8>(length, fill);
}

} // namespace

TEST(RxQueue, KeepsOrderAndCountsWhatAFullQueueDrops)
{
    RxQueue queue(3);
    EXPECT_TRUE(queue.push(transfer(1).data(), RxQueue::kSlotBytes, 10)) << "was empty";
    EXPECT_FALSE(queue.push(transfer(2).data(), RxQueue::kSlotBytes, 20));
    queue.push(transfer(3).data(), RxQueue::kSlotBytes, 30);
    queue.push(transfer(4).data(), RxQueue::kSlotBytes, 40); /* full: dropped */
    queue.push(transfer(5).data(), 100, 50);                 /* still full */
    EXPECT_EQ(queue.dropped_transfers(), 2u);
    EXPECT_EQ(queue.dropped_bytes(), RxQueue::kSlotBytes + 100);
    EXPECT_EQ(queue.received_bytes(), 4 * RxQueue::kSlotBytes + 100);
    for (guint8 expected = 1; expected <= 3; expected++) {
        const RxQueue::Slot *slot = queue.front();
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->bytes[0], expected);
        EXPECT_EQ(slot->first_sample, (expected - 1u) * RxQueue::kSlotBytes / 4);
        queue.pop();
    }
    EXPECT_EQ(queue.front(), nullptr);
    /* The dropped samples keep their place in the numbering: a gap. */
    queue.push(transfer(6).data(), RxQueue::kSlotBytes, 60);
    EXPECT_EQ(queue.front()->first_sample, (4 * RxQueue::kSlotBytes + 100) / 4);
    queue.reset();
    EXPECT_EQ(queue.front(), nullptr);
    queue.push(transfer(7).data(), 8, 70);
    EXPECT_EQ(queue.front()->first_sample, 0u) << "a new stream starts at 0";
}

TEST(RxQueue, AProducerThreadNeverLosesAByteTheConsumerHadRoomFor)
{
    RxQueue queue(8);
    constexpr guint kTransfers = 20000;
    std::thread producer([&] {
        for (guint i = 0; i < kTransfers; i++) {
            guint8 bytes[64];
            std::memset(bytes, static_cast<int>(i & 0xFF), sizeof(bytes));
            queue.push(bytes, sizeof(bytes), i);
        }
    });
    guint64 seen = 0, expected_sample = 0;
    while (seen + queue.dropped_transfers() < kTransfers) {
        const RxQueue::Slot *slot = queue.front();
        if (slot == nullptr) {
            std::this_thread::yield();
            continue;
        }
        EXPECT_GE(slot->first_sample, expected_sample) << "in order";
        EXPECT_EQ(slot->bytes[0], static_cast<guint8>(slot->received_us & 0xFF));
        expected_sample = slot->first_sample + 16;
        seen++;
        queue.pop();
    }
    producer.join();
    EXPECT_EQ(seen + queue.dropped_transfers(), kTransfers);
    EXPECT_EQ(queue.received_bytes(), kTransfers * 64u);
}

namespace
{

/* Transfers of 256 samples whose bytes count up from @first_byte, received at @received_us. */
void push_counting(RxQueue &queue, guint n, guint8 &next_byte, gint64 received_us)
{
    for (guint t = 0; t < n; t++) {
        guint8 bytes[1024];
        for (guint8 &b : bytes)
            b = next_byte++;
        queue.push(bytes, sizeof(bytes), received_us);
    }
}

/* Samples to microseconds, as the writes' times count them. */
gint64 us(guint64 samples)
{
    return static_cast<gint64>(samples * G_USEC_PER_SEC / 192000);
}

} // namespace

TEST(StreamAssembler, WritesTheAdvisedLengthInOrderWithTheTimeOfItsFirstSample)
{
    RxQueue queue(16);
    StreamAssembler assembler;
    assembler.restart(3000); /* 750 samples: not a whole number of transfers */
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::Empty) << "nothing yet";
    guint8 next_byte = 0;
    const gint64 arrival = 1700000000LL * G_USEC_PER_SEC;
    push_counting(queue, 6, next_byte, arrival);
    /* The first transfer's last sample arrived at its arrival time. */
    guint8 expected_byte = 0;
    for (guint w = 0; w < 2; w++) {
        ASSERT_EQ(assembler.step(queue), StreamAssembler::Step::Write);
        EXPECT_EQ(assembler.anchor_us(), arrival - us(256));
        EXPECT_EQ(assembler.first_sample(), 750u * w);
        EXPECT_EQ(assembler.time_us(), arrival - us(256) + us(750 * w));
        ASSERT_EQ(assembler.size(), 3000u);
        for (gsize i = 0; i < assembler.size(); i++)
            ASSERT_EQ(assembler.data()[i], expected_byte++) << "write " << w << " byte " << i;
        assembler.written();
    }
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::Empty);
    EXPECT_EQ(assembler.size(), 6 * 1024u - 6000u) << "the rest is held for the next write";
    EXPECT_EQ(assembler.take_gap_samples(), 0u);

    /* A new stream: a new anchor, from its own first transfer. */
    assembler.restart(3000);
    queue.reset();
    push_counting(queue, 1, next_byte, arrival + 5 * G_USEC_PER_SEC);
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::Empty);
    EXPECT_EQ(assembler.anchor_us(), arrival + 5 * G_USEC_PER_SEC - us(256));
    EXPECT_EQ(assembler.first_sample(), 0u);
}

TEST(StreamAssembler, AGapEndsTheWriteAndTheNextKeepsItsPlaceOnTheClock)
{
    RxQueue queue(2);
    StreamAssembler assembler;
    assembler.restart(64 * 1024);
    guint8 next_byte = 0;
    const gint64 arrival = 1000 * G_USEC_PER_SEC;
    /* Two transfers dropped before the first is taken: the stream starts at
     * sample 0 all the same, and that is no gap. */
    push_counting(queue, 4, next_byte, arrival);
    EXPECT_EQ(queue.dropped_transfers(), 2u);
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::Empty);
    EXPECT_EQ(assembler.size(), 2048u);
    EXPECT_EQ(assembler.take_gap_samples(), 0u);
    push_counting(queue, 1, next_byte, arrival + 20000);
    ASSERT_EQ(assembler.step(queue), StreamAssembler::Step::Write) << "the gap ends the write";
    EXPECT_EQ(assembler.size(), 2048u);
    EXPECT_EQ(assembler.first_sample(), 0u);
    EXPECT_EQ(assembler.take_gap_samples(), 512u);
    assembler.written();
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::Empty);
    EXPECT_EQ(assembler.first_sample(), 1024u) << "after the two dropped transfers";
    EXPECT_EQ(assembler.time_us(), arrival - us(256) + us(1024));
    EXPECT_EQ(assembler.data()[0], static_cast<guint8>(4 * 1024)) << "the fifth transfer's bytes";
    EXPECT_EQ(assembler.take_gap_samples(), 0u) << "counted once";

    /* A stream whose first transfers were all dropped: anchored on the first one taken. */
    RxQueue late(1);
    guint8 byte = 0;
    push_counting(late, 3, byte, arrival);
    StreamAssembler second;
    second.restart(1024);
    ASSERT_EQ(second.step(late), StreamAssembler::Step::Write);
    EXPECT_EQ(second.anchor_us(), arrival - us(256));
    EXPECT_EQ(second.take_gap_samples(), 0u);
}

TEST(StreamAssembler, TheSignalEndsAtItsLastSampleExactly)
{
    RxQueue queue(8);
    StreamAssembler assembler(600);
    assembler.restart(3000);
    guint8 next_byte = 0;
    push_counting(queue, 4, next_byte, G_USEC_PER_SEC);
    ASSERT_EQ(assembler.step(queue), StreamAssembler::Step::Write);
    EXPECT_EQ(assembler.size(), 600u * 4) << "cut at the end, short of the advised length";
    assembler.written();
    EXPECT_EQ(assembler.step(queue), StreamAssembler::Step::End);
    EXPECT_NE(queue.front(), nullptr) << "what lies past the end stays in the queue";
    EXPECT_FALSE(assembler.holding());
}

TEST(Life, EveryPhaseCanReachStoppedWhichIsFinal)
{
    const Phase all[] = {Phase::Starting, Phase::Waiting,  Phase::Streaming, Phase::Draining,
                         Phase::Ending,   Phase::Stopping, Phase::Failing,   Phase::Stopped};
    for (Phase from : all) {
        /* Breadth first over the allowed moves. */
        std::vector<Phase> seen = {from};
        for (gsize i = 0; i < seen.size(); i++)
            for (Phase to : all)
                if (phase_may_follow(seen[i], to) &&
                    std::find(seen.begin(), seen.end(), to) == seen.end())
                    seen.push_back(to);
        EXPECT_NE(std::find(seen.begin(), seen.end(), Phase::Stopped), seen.end())
            << phase_name(from) << " is a dead end";
        EXPECT_FALSE(phase_may_follow(Phase::Stopped, from)) << phase_name(from);
        EXPECT_EQ(phase_may_follow(from, Phase::Stopping),
                  from != Phase::Stopping && from != Phase::Failing && from != Phase::Stopped)
            << "a stop is taken until the station stops: " << phase_name(from);
    }
    Life life;
    EXPECT_FALSE(life.enter(Phase::Draining, "no card yet")) << "nothing to drain";
    EXPECT_TRUE(life.is(Phase::Starting)) << "a refused move changes nothing";
    EXPECT_TRUE(life.enter(Phase::Streaming, "card 0"));
    EXPECT_TRUE(life.enter(Phase::Stopping, "SIGTERM"));
    EXPECT_FALSE(life.enter(Phase::Streaming, "too late"));
    EXPECT_TRUE(life.enter(Phase::Stopped, "released"));
}

TEST(DownlinkRequest, ReadsEveryMemberAndRefusesWhatIsOutOfRange)
{
    DownlinkRequest r;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(parse_downlink_request(
        R"({"device_id":"0x12AB34","seq":4095,"payload":"CAFE01","freq":869525000,"id":[1,"a"]})",
        r, &error))
        << error->message;
    EXPECT_EQ(r.device_id, 0x12AB34u);
    EXPECT_EQ(r.seq, 4095u);
    EXPECT_EQ(r.payload, (std::vector<guint8>{0xca, 0xfe, 0x01}));
    EXPECT_EQ(r.freq, 869525000u);
    EXPECT_EQ(r.id, R"([1,"a"])");
    DownlinkRequest empty;
    EXPECT_TRUE(parse_downlink_request(R"({"device_id":4294967295,"seq":0,"payload":"","freq":1})",
                                       empty, nullptr));
    EXPECT_EQ(empty.device_id, G_MAXUINT32);
    EXPECT_TRUE(empty.payload.empty());

    struct Case {
        const char *text, *message;
    } cases[] = {
        {"", "not a JSON object"},
        {"[1]", "not a JSON object"},
        {R"({"seq":1,"payload":"","freq":1})", "\"device_id\" is missing"},
        {R"({"device_id":-1,"seq":1,"payload":"","freq":1})", "\"device_id\" must be"},
        {R"({"device_id":4294967296,"seq":1,"payload":"","freq":1})", "\"device_id\" must be"},
        {R"({"device_id":1.5,"seq":1,"payload":"","freq":1})", "\"device_id\" must be"},
        {R"({"device_id":"0xZZ","seq":1,"payload":"","freq":1})", "\"device_id\" must be"},
        {R"({"device_id":1,"seq":4096,"payload":"","freq":1})", "\"seq\" must be"},
        {R"({"device_id":1,"seq":1,"payload":"abc","freq":1})", "\"payload\" must be"},
        {R"({"device_id":1,"seq":1,"payload":"000102030405060708","freq":1})",
         "\"payload\" must be"},
        {R"({"device_id":1,"seq":1,"payload":"zz","freq":1})", "not hexadecimal"},
        {R"({"device_id":1,"seq":1,"payload":7,"freq":1})", "\"payload\" must be"},
        {R"({"device_id":1,"seq":1,"payload":"","freq":0,"id":9})",
         "\"freq\" must be a whole number from 1 to 4294967295"},
        {R"({"device_id":1,"seq":1,"payload":"","freq":-1})",
         "\"freq\" must be a whole number from 1 to 4294967295"},
        {R"({"device_id":1,"seq":1,"payload":""})", "\"freq\" is missing"},
    };
    for (const Case &c : cases) {
        DownlinkRequest bad;
        g_autoptr(GError) e = nullptr;
        EXPECT_FALSE(parse_downlink_request(c.text, bad, &e)) << c.text;
        ASSERT_NE(e, nullptr) << c.text;
        EXPECT_NE(std::string(e->message).find(c.message), std::string::npos)
            << c.text << ": " << e->message;
    }
    DownlinkRequest with_id;
    parse_downlink_request(R"({"device_id":1,"seq":1,"payload":"","freq":0,"id":9})", with_id,
                           nullptr);
    EXPECT_EQ(with_id.id, "9") << "the id survives a refusal, for the result";
}

/* What a hostile publisher sends is refused with a reason before json-glib
 * can crash on it or read it leniently; the bounds hold to the byte. */
TEST(DownlinkRequest, RefusesWhatAHostilePublisherSendsAndKeepsItsBounds)
{
    const std::string tail = R"("seq":1,"payload":"00","freq":869525000})";
    auto refusal = [](std::string_view text, const RequestLimits &limits, GQuark domain,
                      gint code) {
        DownlinkRequest r;
        g_autoptr(GError) e = nullptr;
        const bool ok = parse_downlink_request(text, limits, r, &e);
        if (ok || e == nullptr || !g_error_matches(e, domain, code))
            return std::string("accepted, or refused without the right error: ") +
                   (e != nullptr ? e->message : "(none)");
        return std::string(e->message);
    };
    const RequestLimits defaults;
    /* 85000 levels (170 KB): json-glib's recursion ran out of stack. */
    const std::string deep = std::string(85000, '[') + std::string(85000, ']');
    EXPECT_NE(refusal(deep, defaults, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE)
                  .find("170000 bytes, more than the 1024"),
              std::string::npos);
    const RequestLimits roomy{1 << 20, 128};
    EXPECT_EQ(refusal(deep, roomy, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE),
              "the request nests deeper than 8 levels");
    const std::string nested_id = R"({"id":[[[[[[[1]]]]]]],"device_id":1,)" + tail;
    DownlinkRequest r;
    EXPECT_TRUE(parse_downlink_request(nested_id, r, nullptr)) << "8 levels are fine";

    /* The whole message and the id, each at its bound and one byte above. */
    const std::string head = R"({"device_id":1,"pad":")", mid = R"(",)";
    const std::string at_bound =
        head + std::string(defaults.max_bytes - head.size() - mid.size() - tail.size(), 'x') + mid +
        tail;
    ASSERT_EQ(at_bound.size(), defaults.max_bytes);
    EXPECT_TRUE(parse_downlink_request(at_bound, r, nullptr));
    EXPECT_NE(refusal(at_bound + " ", defaults, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE)
                  .find("1025 bytes"),
              std::string::npos);
    const std::string id128 = '"' + std::string(126, 'i') + '"';
    ASSERT_TRUE(
        parse_downlink_request(R"({"id":)" + id128 + R"(,"device_id":1,)" + tail, r, nullptr));
    EXPECT_EQ(r.id, id128);
    DownlinkRequest long_id;
    EXPECT_FALSE(parse_downlink_request(
        R"({"id":")" + std::string(127, 'i') + R"(","device_id":1,)" + tail, long_id, nullptr));
    EXPECT_TRUE(long_id.id.empty()) << "an id above its bound is never echoed";
    EXPECT_EQ(refusal(R"({"id":")" + std::string(127, 'i') + R"(","device_id":1,)" + tail, defaults,
                      G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE),
              "\"id\" is 129 bytes long, more than the 128 an id may have");

    /* Lenient readings: strings for numbers, a NUL that cut the payload, the
     * last of two keys, numbers read modulo 2^64, an id that cannot be echoed. */
    struct Case {
        std::string text;
        const char *message;
    } cases[] = {
        {R"({"device_id":1,"seq":"0x10","payload":"00","freq":869525000})",
         "\"seq\" must be a number, not a string"},
        {R"({"device_id":1,"seq":1,"payload":"00","freq":"869525000"})",
         "\"freq\" must be a number, not a string"},
        {R"({"device_id":1,"seq":1,"payload":"ab\u0000cd","freq":869525000})",
         "the request holds a NUL character (\\u0000)"},
        {std::string(R"({"device_id":1,"seq":1,"payload":"ab)") + '\0' + R"(cd","freq":869525000})",
         "the request holds a NUL character"},
        {R"({"device_id":1,"seq":1,"payload":"a)"
         "\n"
         R"(b","freq":869525000})",
         "a string of the request holds a control character"},
        {R"({"device_id":1,"device_id":2,"seq":1,"payload":"00","freq":869525000})",
         "\"device_id\" appears twice"},
        {R"({"id":{"a":1,"a":2},"device_id":1,)" + tail, "\"a\" appears twice"},
        {R"({"device_id":18446744073709551617,)" + tail,
         "the request holds a number of more than 19 digits"},
        {R"({"id":1e400,"device_id":1,)" + tail,
         "\"id\" holds a number too large to be written back"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(refusal(c.text, defaults, G_IO_ERROR, G_IO_ERROR_INVALID_DATA), c.message)
            << c.text;
    /* Not JSON is a refusal like the others; one is published, so it is UTF-8
     * whatever json-glib made of a lone surrogate it quotes. */
    EXPECT_EQ(refusal(R"({"device_id":1,)", defaults, G_IO_ERROR, G_IO_ERROR_INVALID_DATA)
                  .rfind("not JSON: ", 0),
              0u);
    for (const char *lone : {R"({"x\ud800":1,"x\ud800":2})", R"({"id":"\ud800","device_id":1})",
                             R"({"deviic{\ud800{"dev)"}) {
        const std::string message = refusal(lone, defaults, G_IO_ERROR, G_IO_ERROR_INVALID_DATA);
        EXPECT_TRUE(g_utf8_validate(message.c_str(), -1, nullptr)) << message;
    }
    /* What is strict is not stricter than the format: escapes, a 19-digit
     * number, a device id in a string. */
    DownlinkRequest fine;
    ASSERT_TRUE(parse_downlink_request(
        R"({"id":["a\"\u00e9",1234567890123456789],"device_id":"4294967295","seq":1,)"
        R"("payload":"","freq":4294967295})",
        fine, nullptr));
    EXPECT_EQ(fine.device_id, G_MAXUINT32);
    EXPECT_EQ(fine.id, "[\"a\\\"\u00e9\",1234567890123456789]");
}

TEST(MqttUrl, TakesHostAndPortAndRefusesTheRest)
{
    MqttConfig c;
    ASSERT_TRUE(parse_mqtt_url("mqtt://broker.example", c, nullptr));
    EXPECT_EQ(c.host, "broker.example");
    EXPECT_EQ(c.port, 1883);
    EXPECT_FALSE(c.tls);
    ASSERT_TRUE(parse_mqtt_url("mqtts://10.1.2.3:8884/", c, nullptr));
    EXPECT_EQ(c.host, "10.1.2.3");
    EXPECT_EQ(c.port, 8884);
    EXPECT_TRUE(c.tls);
    ASSERT_TRUE(parse_mqtt_url("mqtt://[::1]:1999", c, nullptr));
    EXPECT_EQ(c.host, "::1");
    EXPECT_EQ(c.port, 1999);
    for (const char *bad : {"tcp://host", "mqtt://", "mqtt://host:0", "mqtt://host:65536",
                            "mqtt://host:x", "mqtt://user:pw@host", "mqtt://host/topic"}) {
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(parse_mqtt_url(bad, c, &error)) << bad;
    }
}

TEST(Latency, PercentilesAreWithinTheBucketWidth)
{
    LatencyHistogram h;
    EXPECT_EQ(h.quantile_ms(0.5), 0.0) << "no sample";
    for (gint64 us = 1; us <= 100000; us++)
        h.add(us);
    /* Buckets are 2 % wide. */
    EXPECT_NEAR(h.quantile_ms(0.5), 50.0, 50.0 * 0.02);
    EXPECT_NEAR(h.quantile_ms(0.99), 99.0, 99.0 * 0.02);
    EXPECT_NEAR(h.quantile_ms(1.0), 100.0, 100.0 * 0.02);
    LatencyHistogram one;
    one.add(0);
    one.add(G_MAXINT64);
    EXPECT_GT(one.quantile_ms(1.0), 1e6) << "the largest value lands in the last bucket";
    EXPECT_LT(one.quantile_ms(0.5), 0.002);
}

class KeyFile : public ::testing::Test
{
  protected:
    bool apply(const char *text, GError **error)
    {
        g_autoptr(GKeyFile) file = g_key_file_new();
        if (!g_key_file_load_from_data(file, text, -1, G_KEY_FILE_NONE, error))
            return false;
        return apply_key_file(file, settings, error);
    }
    Settings settings;
    StationConfig &config = settings.station;
    Settings &files = settings; /* the device list files */
};

TEST_F(KeyFile, EveryGroupSetsItsPart)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(apply("[station]\nname=bs-1\nbit_rate=600\nauthenticate=false\nwhitelist=/w\n"
                      "stats_interval=5\n"
                      "[card]\nindex=2\nrx_frequency=868130000\npreamp0=lna\npreamp2=ATTEN\n"
                      "int_gain=90.5\next_gain=-3\nqueue_transfers=64\n"
                      "[mqtt]\nurl=mqtt://b:1\nprefix=p\nuser=u\npassword=pw\nqueue=5\n"
                      "keepalive=10\nmax_backoff=7\n"
                      "[downlink]\nmax_request_bytes=2048\nmax_id_bytes=64\nqueue=4\n"
                      "max_age=3\nbit_rate=600\ndevice_frames_per_hour=6\n"
                      "sub_bands=869400000-869650000:10; 868000000-868600000:0.5;\n"
                      "[log]\nlevel=LEVEL_INFO\n",
                      &error))
        << error->message;
    EXPECT_EQ(config.name, "bs-1");
    EXPECT_EQ(config.rates, std::vector<guint>{600});
    EXPECT_FALSE(config.authenticate);
    EXPECT_EQ(files.whitelist, "/w");
    EXPECT_EQ(config.stats_interval, 5u);
    EXPECT_EQ(config.card_config.index, 2u);
    EXPECT_EQ(config.card_config.rx_frequency, 868130000u);
    EXPECT_EQ(config.card_config.preamps[0], XVEK_CTL_PREAMP_MODE_LNA);
    EXPECT_FALSE(config.card_config.preamps[1].has_value());
    EXPECT_EQ(config.card_config.preamps[2], XVEK_CTL_PREAMP_MODE_ATTEN);
    EXPECT_EQ(config.int_gain, 90.5);
    EXPECT_EQ(config.ext_gain, -3.0);
    EXPECT_EQ(config.card_config.queue_transfers, 64u);
    EXPECT_EQ(config.mqtt.url, "mqtt://b:1");
    EXPECT_EQ(config.mqtt.prefix, "p");
    EXPECT_EQ(config.mqtt.user, "u");
    EXPECT_EQ(config.mqtt.password, "pw");
    EXPECT_EQ(config.mqtt.queue, 5u);
    EXPECT_EQ(config.mqtt.keepalive, 10u);
    EXPECT_EQ(config.mqtt.max_backoff, 7u);
    const DownlinkConfig &dl = config.downlink;
    EXPECT_EQ(dl.limits.max_bytes, 2048u);
    EXPECT_EQ(dl.limits.max_id_bytes, 64u);
    EXPECT_EQ(dl.queue, 4u);
    EXPECT_EQ(dl.policy.max_age_s, 3u);
    EXPECT_EQ(dl.policy.bit_rate, 600u);
    EXPECT_EQ(dl.policy.device_frames_per_hour, 6u);
    ASSERT_EQ(dl.policy.sub_bands.size(), 2u);
    EXPECT_EQ(sub_band_text(dl.policy.sub_bands[1]), "868000000-868600000:0.5");
}

TEST_F(KeyFile, ABadValueOrAnUnknownKeyIsAnErrorNamingIt)
{
    struct Case {
        const char *text, *message;
    } cases[] = {
        {"[station]\nbit_rate=300\n", "[station] bit_rate: takes 100, 600 or both"},
        {"[station]\nauthenticate=maybe\n", "[station] authenticate: takes true or false"},
        {"[card]\nindex=64\n", "[card] index: '64' is not a whole number from 0 to 63"},
        {"[card]\nrx_frequency=-1\n", "[card] rx_frequency"},
        {"[card]\npreamp1=LOUD\n", "[card] preamp1: takes LNA, BYPASS or ATTEN"},
        {"[card]\nint_gain=nan\n", "[card] int_gain"},
        {"[card]\nqueue_transfers=1\n", "[card] queue_transfers"},
        {"[mqtt]\nqueue=0\n", "[mqtt] queue"},
        {"[mqtt]\nkeepalive=1\n", "[mqtt] keepalive"},
        {"[card]\nfrequency=1\n", "[card] frequency: not a key of this group"},
        {"[downlink]\nmax_request_bytes=63\n", "[downlink] max_request_bytes"},
        {"[downlink]\nqueue=0\n", "[downlink] queue"},
        {"[downlink]\nmax_age=0\n", "[downlink] max_age"},
        {"[downlink]\nsub_bands=869400000-869650000:1;869650000-869400000:1\n",
         "[downlink] sub_bands: takes sub-bands LOW-HIGH:DUTY (Hz, Hz, percent of an hour) "
         "separated by ';', not '869400000-869650000:1;869650000-869400000:1'"},
        {"[downlink]\nsub_bands=\n", "[downlink] sub_bands: takes sub-bands"},
        {"[downlink]\nduty=1\n", "[downlink] duty: not a key of this group"},
    };
    for (const Case &c : cases) {
        StationConfig fresh;
        config = fresh;
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(apply(c.text, &error)) << c.text;
        ASSERT_NE(error, nullptr) << c.text;
        EXPECT_NE(std::string(error->message).find(c.message), std::string::npos) << error->message;
    }
}

TEST_F(KeyFile, TheInstalledExampleIsValidAsItIs)
{
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(
        g_key_file_load_from_file(file, VEKBS_DATA_DIR "/vekbs.conf", G_KEY_FILE_NONE, &error))
        << error->message;
    EXPECT_TRUE(apply_key_file(file, settings, &error)) << error->message;
    /* The sub-bands it lists as the defaults are the defaults. */
    g_autofree gchar *text = nullptr;
    ASSERT_TRUE(g_file_get_contents(VEKBS_DATA_DIR "/vekbs.conf", &text, nullptr, nullptr));
    const char *line = strstr(text, "\n#sub_bands = ");
    ASSERT_NE(line, nullptr);
    const std::string uncommented =
        "[downlink]\n" + std::string(line + 2, strcspn(line + 1, "\n") - 1) + "\n";
    ASSERT_TRUE(apply(uncommented.c_str(), &error)) << error->message;
    const std::vector<SubBand> expected = default_sub_bands(868130000);
    ASSERT_EQ(config.downlink.policy.sub_bands.size(), expected.size());
    for (gsize i = 0; i < expected.size(); i++)
        EXPECT_EQ(sub_band_text(config.downlink.policy.sub_bands[i]), sub_band_text(expected[i]));
}

/* The command line through the same table: one range, options over the key file. */
TEST_F(KeyFile, OptionsAreCheckedByTheKeysRowAndOverrideTheFile)
{
    auto parse = [](std::vector<const char *> args, CommandLine &options, GError **error) {
        args.insert(args.begin(), "vekbs");
        g_autoptr(GOptionContext) context = g_option_context_new(nullptr);
        options.add_to(context);
        int argc = static_cast<int>(args.size());
        char **argv = const_cast<char **>(args.data());
        return g_option_context_parse(context, &argc, &argv, error);
    };
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(apply("[card]\nint_gain=80\n[station]\nblacklist=/b\n", &error)) << error->message;
    CommandLine options;
    ASSERT_TRUE(parse({"--int-gain", "90", "-w", "/w", "--preamp", "1:lna"}, options, &error))
        << error->message;
    ASSERT_TRUE(options.apply(settings, &error)) << error->message;
    EXPECT_EQ(config.int_gain, 90.0);
    EXPECT_EQ(files.whitelist, "/w");
    EXPECT_EQ(files.blacklist, "") << "a list option replaces the file's lists";
    EXPECT_EQ(config.card_config.preamps[1], XVEK_CTL_PREAMP_MODE_LNA);
    EXPECT_STREQ(options.needing_card(), "preamp");

    /* The key's range, for the option too; a secret's value is never shown. */
    CommandLine bad;
    EXPECT_FALSE(parse({"--int-gain", "200.5"}, bad, &error));
    EXPECT_STREQ(error->message, "--int-gain must be a number from 0 to 200, not '200.5'");
    g_clear_error(&error);
    EXPECT_FALSE(apply("[card]\nint_gain=200.5\n", &error));
    EXPECT_STREQ(error->message, "[card] int_gain: '200.5' is not a number from 0 to 200");
    g_clear_error(&error);
    EXPECT_FALSE(apply("[mqt]\nurl=mqtt://b\n", &error));
    EXPECT_NE(std::string(error->message).find("[mqt]: not a group"), std::string::npos)
        << error->message;

    /* Every default is valid by its own row, and every key is in the example. */
    const Settings defaults = default_settings();
    EXPECT_EQ(defaults.station.mqtt.queue, 10000u);
    g_autofree gchar *example = nullptr;
    ASSERT_TRUE(g_file_get_contents(VEKBS_DATA_DIR "/vekbs.conf", &example, nullptr, nullptr));
    for (const Setting &row : settings_table()) {
        if (row.key == nullptr)
            continue;
        const std::string line = std::string("\n#") + row.key + " = ";
        const std::string set = std::string("\n") + row.key + " = ";
        EXPECT_TRUE(strstr(example, line.c_str()) != nullptr || strstr(example, set.c_str()))
            << "[" << row.group << "] " << row.key << " is not in the example vekbs.conf";
    }
}

/* systemd's LoadCredential=mqtt-password:FILE gives the password instead of
 * the key file; both at once is an error, not a silent choice. */
TEST_F(KeyFile, TheBrokerPasswordMayComeAsACredential)
{
    g_autofree gchar *dir = g_dir_make_tmp("vekbs-cred-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    const std::string credential = std::string(dir) + "/mqtt-password";
    ASSERT_TRUE(g_file_set_contents(credential.c_str(), "s3cret\n", -1, nullptr));
    g_setenv("CREDENTIALS_DIRECTORY", dir, TRUE);
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(apply("[mqtt]\nurl = mqtt://127.0.0.1\nuser = u\n", &error)) << error->message;
    config.name = "bs-1";
    EXPECT_TRUE(finish_settings(settings, false, &error)) << error->message;
    EXPECT_EQ(config.mqtt.password, "s3cret") << "without its line end";

    Settings twice = default_settings();
    twice.station.name = "bs-1";
    twice.station.mqtt.url = "mqtt://127.0.0.1";
    twice.station.mqtt.password = "other";
    EXPECT_FALSE(finish_settings(twice, false, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->message).find("given twice"), std::string::npos) << error->message;
    EXPECT_EQ(std::string(error->message).find("s3cret"), std::string::npos);
    g_unsetenv("CREDENTIALS_DIRECTORY");
    g_remove(credential.c_str());
    g_rmdir(dir);
}

/* What a station runs when nothing says otherwise: the channelised receiver on
 * both rates in one pass, for a recording and for a card alike; the reference
 * demodulator runs one rate a pass, and on a card one rate only. */
TEST(StationDefaults, TheChannelisedReceiverOnBothRatesInOnePass)
{
    struct Case {
        bool card;
        const char *receiver, *bit_rate; /* nullptr: not given */
        std::vector<guint> passes;       /* empty: a usage error */
    } cases[] = {
        {false, nullptr, nullptr, {kBothRates}},
        {true, nullptr, nullptr, {kBothRates}},
        {true, nullptr, "600", {600}},
        {false, "vdem", nullptr, {100, 600}},
        {true, "vdem", nullptr, {100}},
        {true, "vdem", "600", {600}},
        {true, "vdem", "both", {}},
    };
    for (const Case &c : cases) {
        Settings settings = default_settings();
        EXPECT_EQ(settings.station.receiver, "vchan");
        settings.station.card = c.card;
        settings.station.name = "bs-1";
        g_autoptr(GError) error = nullptr;
        for (const auto &[key, value] :
             {std::pair{"receiver", c.receiver}, {"bit_rate", c.bit_rate}}) {
            if (value != nullptr) {
                ASSERT_TRUE(apply_setting(*find_setting("station", key), Origin::Option, value,
                                          settings, &error));
            }
        }
        const bool ok = finish_settings(settings, false, &error);
        const std::string what = std::string(c.card ? "card" : "recording") + ", receiver " +
                                 (c.receiver ? c.receiver : "-") + ", bit rate " +
                                 (c.bit_rate ? c.bit_rate : "-");
        EXPECT_EQ(ok, !c.passes.empty()) << what;
        if (ok)
            EXPECT_EQ(settings.station.rates, c.passes) << what;
        else
            EXPECT_NE(std::string(error->message).find("one bit rate at a time"), std::string::npos)
                << error->message;
    }
}

/* The unit runs as a user in the group the udev rule gives the card to, and
 * the sysusers file creates both. */
TEST(ServiceFiles, TheUnitsUserCanReachTheCard)
{
    g_autoptr(GKeyFile) unit = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(unit, VEKBS_UNIT, G_KEY_FILE_NONE, nullptr));
    g_autofree gchar *type = g_key_file_get_string(unit, "Service", "Type", nullptr);
    g_autofree gchar *user = g_key_file_get_string(unit, "Service", "User", nullptr);
    g_autofree gchar *groups =
        g_key_file_get_string(unit, "Service", "SupplementaryGroups", nullptr);
    g_autofree gchar *restart = g_key_file_get_string(unit, "Service", "Restart", nullptr);
    EXPECT_STREQ(type, "notify");
    EXPECT_STREQ(restart, "on-failure");
    ASSERT_NE(user, nullptr);
    EXPECT_STRNE(user, "root");
    ASSERT_NE(groups, nullptr);
    g_autofree gchar *rules = nullptr;
    ASSERT_TRUE(g_file_get_contents(VEKBS_UDEV_RULES, &rules, nullptr, nullptr));
    for (const char *card : {"ATTR{idVendor}==\"6b3e\", ATTR{idProduct}==\"0001\"",
                             "ATTR{idVendor}==\"1fc9\", ATTR{idProduct}==\"008a\""}) {
        const char *line = strstr(rules, card);
        ASSERT_NE(line, nullptr) << card;
        const std::string rule(line, strcspn(line, "\n"));
        EXPECT_NE(rule.find(std::string("GROUP=\"") + groups + "\""), std::string::npos) << rule;
        EXPECT_NE(rule.find("MODE=\"0660\""), std::string::npos) << rule;
    }
    g_autofree gchar *sysusers = nullptr;
    ASSERT_TRUE(g_file_get_contents(VEKBS_DATA_DIR "/vekbs.sysusers", &sysusers, nullptr, nullptr));
    EXPECT_NE(strstr(sysusers, (std::string("u ") + user + " ").c_str()), nullptr);
    EXPECT_NE(strstr(sysusers, (std::string("m ") + user + " " + groups).c_str()), nullptr);
}
