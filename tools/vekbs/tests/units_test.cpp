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
        {R"({"device_id":1,"seq":1,"payload":"","freq":0,"id":9})", "\"freq\" must not be 0"},
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

/* The unit runs as a user in the group the udev rule gives the card to, and
 * the sysusers file creates both. */
TEST(ServiceFiles, TheUnitsUserCanReachTheCard)
{
    g_autoptr(GKeyFile) unit = g_key_file_new();
    ASSERT_TRUE(
        g_key_file_load_from_file(unit, VEKBS_DATA_DIR "/vekbs.service", G_KEY_FILE_NONE, nullptr));
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
