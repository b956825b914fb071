/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekbs --card against the emulated card of this process, and --mqtt against
 * a real mosquitto on a free local port: the uplink road to the broker, the
 * downlink road back to the card, a card that goes and comes back, a broker
 * that restarts, and the order of a stop. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <mosquitto.h>
#include <vekemu/vekemu.h>

namespace
{

constexpr gint64 kPatienceUs = 30 * G_USEC_PER_SEC; /* a loaded 2-core machine, sanitizers */

std::string read_file(const std::string &path)
{
    g_autofree gchar *text = nullptr;
    g_file_get_contents(path.c_str(), &text, nullptr, nullptr);
    return text != nullptr ? text : "";
}

/* Polls @condition until it holds or the patience runs out. */
bool eventually(const std::function<bool()> &condition, gint64 patience_us = kPatienceUs)
{
    const gint64 end = g_get_monotonic_time() + patience_us;
    while (!condition()) {
        if (g_get_monotonic_time() > end)
            return false;
        g_usleep(20 * 1000);
    }
    return true;
}

gsize count(const std::string &text, const std::string &what)
{
    gsize n = 0;
    for (gsize at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

JsonObject *parse_object(JsonParser *parser, const std::string &text)
{
    if (!json_parser_load_from_data(parser, text.c_str(), -1, nullptr))
        return nullptr;
    JsonNode *root = json_parser_get_root(parser);
    return root != nullptr && JSON_NODE_HOLDS_OBJECT(root) ? json_node_get_object(root) : nullptr;
}

/* Starts @args with @env, its output in @out_fd and @err_fd (or /dev/null
 * for -1). posix_spawn rather than GLib's fork: its child goes to the exec
 * through libc's internal calls, so a lock that another thread of this
 * process holds at the fork (the emulation's preloaded wrappers, the
 * sanitizer's) cannot stall the child before it runs. Returns 0 when the
 * program could not be started. */
pid_t spawn(const std::vector<std::string> &args, gchar **env, int out_fd, int err_fd)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (err_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = 0;
    const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(r, 0) << args[0] << ": " << g_strerror(r);
    return r == 0 ? pid : 0;
}

/* A program started with its output in files of @dir. */
class Child
{
  public:
    Child(const std::string &dir, const std::string &name)
        : out_(dir + "/" + name + ".out"), err_(dir + "/" + name + ".err")
    {
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool start(const std::vector<std::string> &args, gchar **env)
    {
        const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(out, 0) << out_;
        EXPECT_GE(err, 0) << err_;
        if (out >= 0 && err >= 0)
            pid_ = spawn(args, env, out, err);
        if (out >= 0)
            close(out);
        if (err >= 0)
            close(err);
        return pid_ > 0;
    }
    /* The exit status, or -1 when it did not end in time. */
    int wait(gint64 patience_us = kPatienceUs)
    {
        int status = 0;
        const bool ended =
            eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, patience_us);
        if (!ended)
            return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void signal(int number) const { kill(pid_, number); }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }
    bool says(const std::string &what, gsize times = 1) const
    {
        return eventually([&] { return count(err(), what) >= times; });
    }

  private:
    std::string out_, err_;
    GPid pid_ = 0;
};

/* An environment without this process's emulation, for programs that must
 * not see it (the broker). */
gchar **plain_environ()
{
    gchar **env = g_get_environ();
    env = g_environ_unsetenv(env, "LD_PRELOAD");
    return g_environ_unsetenv(env, "UMOCKDEV_DIR");
}

guint16 free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

bool accepting(guint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

/* A real mosquitto on a free port of the loopback interface; it keeps its
 * sessions on disk across a restart. */
class Broker
{
  public:
    static std::string binary()
    {
        g_autofree gchar *found = g_find_program_in_path("mosquitto");
        if (found != nullptr)
            return found;
        return g_file_test("/usr/sbin/mosquitto", G_FILE_TEST_IS_EXECUTABLE) ? "/usr/sbin/mosquitto"
                                                                             : "";
    }
    explicit Broker(const std::string &dir) : dir_(dir), port_(free_port()), process_(dir, "broker")
    {
        const std::string conf = "listener " + std::to_string(port_) +
                                 " 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                 "persistence_location " +
                                 dir + "/\n";
        g_file_set_contents((dir + "/broker.conf").c_str(), conf.c_str(), -1, nullptr);
    }
    ~Broker() { stop(); }
    bool start()
    {
        process_ = Child(dir_, "broker");
        g_auto(GStrv) env = plain_environ();
        if (!process_.start({binary(), "-c", dir_ + "/broker.conf"}, env))
            return false;
        running_ = eventually([&] { return accepting(port_); });
        return running_;
    }
    void stop()
    {
        if (!running_)
            return;
        process_.signal(SIGTERM);
        process_.wait();
        running_ = false;
    }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    guint16 port() const { return port_; }

  private:
    std::string dir_;
    guint16 port_;
    Child process_;
    bool running_ = false;
};

/* A network server's view: subscribed to everything under vek/ with QoS 1
 * and a session the broker keeps, so nothing published while it was away
 * is lost to it either. */
class Subscriber
{
  public:
    struct Message {
        std::string topic, payload;
        bool retained;
    };
    explicit Subscriber(guint16 port)
    {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("test-server", false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "vek/#", 1);
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto *, void *data, const mosquitto_message *msg) {
                auto *self = static_cast<Subscriber *>(data);
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->messages_.push_back({msg->topic,
                                           std::string(static_cast<const char *>(msg->payload),
                                                       static_cast<gsize>(msg->payloadlen)),
                                           msg->retain});
            });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", port, 10);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    std::vector<Message> on(const std::string &topic)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> found;
        for (const Message &m : messages_)
            if (m.topic == topic)
                found.push_back(m);
        return found;
    }
    void publish(const std::string &topic, const std::string &payload)
    {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    }

  private:
    mosquitto *mosq_;
    std::mutex mutex_;
    std::vector<Message> messages_;
};

class Live : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_autofree gchar *dir = g_dir_make_tmp("vekbs-live-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        /* No configuration file of this machine may change what is tested. */
        conf_ = dir_ + "/vekbs.conf";
        ASSERT_TRUE(g_file_set_contents(conf_.c_str(), "", 0, nullptr));
    }
    void TearDown() override
    {
        vekemu_bed_remove_all(bed_);
        EXPECT_EQ(run_plain({"rm", "-rf", dir_}), 0);
    }
    void need_broker()
    {
        if (Broker::binary().empty())
            GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto): the broker "
                            "tests need a real broker";
    }
    /* A recording of @frames (vekgen -f specs), played by a card. */
    std::string record(const std::vector<std::string> &frames)
    {
        const std::string base = dir_ + "/rec";
        std::vector<std::string> args = {VEKGEN_PATH, "-o", base};
        for (const std::string &f : frames) {
            args.push_back("-f");
            args.push_back(f);
        }
        EXPECT_EQ(run_plain(args), 0);
        return base;
    }
    /* Runs a program of the build without this process's emulation. */
    static int run_plain(const std::vector<std::string> &args, std::string *out = nullptr)
    {
        g_auto(GStrv) env = plain_environ();
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0)
            return -1;
        const pid_t pid = spawn(args, env, pipe_fds[1], -1);
        close(pipe_fds[1]);
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof(chunk))) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            text.append(chunk, static_cast<gsize>(n));
        }
        close(pipe_fds[0]);
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        if (out != nullptr) {
            g_autofree gchar *copy = g_strdup(text.c_str());
            *out = g_strstrip(copy);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    VekemuCard *plug(const std::string &recording, VekemuPacing pacing)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        const std::string meta = recording + ".sigmf-meta";
        cfg.sigmf_path = meta.c_str();
        cfg.pacing = pacing;
        VekemuCard *card = vekemu_add_card(bed_, &cfg, nullptr);
        EXPECT_NE(card, nullptr);
        return card;
    }
    bool start(Child &child, std::vector<std::string> args)
    {
        args.insert(args.begin(), VEKBS_PATH);
        g_auto(GStrv) env = vekemu_child_environ(bed_, VEKBS_PATH);
        return child.start(args, env);
    }
    std::string synth(const std::vector<std::string> &operands)
    {
        std::vector<std::string> args = {VEKBS_PATH, "--synth"};
        args.insert(args.end(), operands.begin(), operands.end());
        std::string out;
        EXPECT_EQ(run_plain(args, &out), 0);
        return out;
    }

    VekemuBed *bed_ = vekemu_bed_get();
    std::string dir_, conf_;
};

const char *const kThreeFrames[] = {"at=0.1 rate=600 dev=0x10A1 seq=1 payload=01 freq=-5000",
                                    "at=0.6 rate=600 dev=0x10A2 seq=2 payload=0203 freq=0",
                                    "at=1.1 rate=600 dev=0x10A3 seq=3 payload=030405 freq=7000"};

} // namespace

TEST_F(Live, TheCardDeliversExactlyTheRecordingsFramesWithItsSettings)
{
    const std::string rec = record({kThreeFrames[0], kThreeFrames[1], kThreeFrames[2]});
    VekemuCard *card = plug(rec, VEKEMU_PACING_FAST);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--check", "--truth", rec, "--bit-rate", "600",
                              "--frequency", "868300000", "--preamp", "1:ATTEN", "--preamp",
                              "2:bypass", "--json", "--config", conf_}));
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    EXPECT_NE(vekbs.err().find("every frame delivered as sent (3 frames)"), std::string::npos)
        << vekbs.err();
    EXPECT_NE(vekbs.err().find("RX 868300000 Hz, preamplifiers LNA/ATTEN/BYPASS"),
              std::string::npos)
        << vekbs.err();
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF), 868300000u);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP) & 0xFFFu,
              0x021u);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 0u)
        << "the stream is switched off at the end";
    /* Standard output carries only the three frames. */
    std::string out = vekbs.out();
    g_auto(GStrv) lines = g_strsplit(g_strstrip(out.data()), "\n", -1);
    ASSERT_EQ(g_strv_length(lines), 3u) << vekbs.out();
    for (guint i = 0; i < 3; i++) {
        g_autoptr(JsonParser) parser = json_parser_new();
        ASSERT_NE(parse_object(parser, lines[i]), nullptr) << lines[i];
    }
}

TEST_F(Live, TheKeyFileSetsTheStationAndOptionsOverrideIt)
{
    const std::string rec = record({kThreeFrames[0], kThreeFrames[1], kThreeFrames[2]});
    VekemuCard *card = plug(rec, VEKEMU_PACING_FAST);
    ASSERT_TRUE(g_file_set_contents(conf_.c_str(),
                                    "[station]\nbit_rate = 600\n"
                                    "[card]\nrx_frequency = 868500000\npreamp0 = ATTEN\n"
                                    "[log]\nlevel = LEVEL_INFO\n",
                                    -1, nullptr));
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--check", "--truth", rec, "--frequency", "868300000",
                              "--config", conf_}));
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF), 868300000u)
        << "the option wins";
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP) & 0xF00u,
              0x200u);
    EXPECT_NE(vekbs.err().find("streaming at 600 bit/s"), std::string::npos) << vekbs.err();
    EXPECT_NE(vekbs.err().find(" I "), std::string::npos) << "info lines from the log group";
    /* Each move of the station's life is logged, the stop included. */
    for (const char *move :
         {"station: starting -> streaming: card 0", "streaming -> ending", "ending -> stopped"})
        EXPECT_NE(vekbs.err().find(move), std::string::npos) << move << " in\n" << vekbs.err();
}

TEST_F(Live, ACardThatStopsSendingIsReleasedAndOpenedAgain)
{
    VekemuCard *card = plug(record({kThreeFrames[0]}), VEKEMU_PACING_REALTIME);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--bit-rate", "600", "--config", conf_}));
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s")) << vekbs.err();
    /* The firmware switches its stream off by itself: transfers time out. */
    vekemu_card_reg_set(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM, 0);
    ASSERT_TRUE(vekbs.says("sent nothing for 5 s")) << vekbs.err();
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s", 2)) << vekbs.err();
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 1u);
    vekbs.signal(SIGINT);
    EXPECT_EQ(vekbs.wait(), 0) << vekbs.err();
}

TEST_F(Live, AnUnpluggedCardIsReportedOnceAndTheStationResumesWhenItIsBack)
{
    const std::string rec = record({kThreeFrames[0], kThreeFrames[1], kThreeFrames[2]});
    VekemuCard *card = plug(rec, VEKEMU_PACING_REALTIME);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--bit-rate", "600", "--json", "--config", conf_}));
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s")) << vekbs.err();
    ASSERT_TRUE(eventually([&] { return !vekbs.out().empty(); })) << "a first frame";
    vekemu_card_unplug(card);
    ASSERT_TRUE(vekbs.says("unplugged")) << vekbs.err();
    ASSERT_TRUE(vekbs.says("waiting for card 0")) << vekbs.err();
    ASSERT_TRUE(vekemu_card_plug(card, nullptr));
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s", 2)) << vekbs.err();
    /* The recording starts over on the new stream: its first frame again. */
    const gsize before = count(vekbs.out(), "\n");
    ASSERT_TRUE(eventually([&] { return count(vekbs.out(), "\n") > before; })) << vekbs.err();
    vekbs.signal(SIGTERM);
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    EXPECT_EQ(count(vekbs.err(), "unplugged"), 1u) << vekbs.err();
    EXPECT_NE(vekbs.err().find("\"card_losses\":1"), std::string::npos) << vekbs.err();
}

TEST_F(Live, SigtermStopsRxThenReleasesTheCardAndPrintsTheStatistics)
{
    const std::string rec = record({kThreeFrames[0]});
    VekemuCard *card = plug(rec, VEKEMU_PACING_REALTIME);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--bit-rate", "600", "--config", conf_}));
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s")) << vekbs.err();
    vekemu_card_clear_events(card);
    vekbs.signal(SIGTERM);
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    g_autoptr(GArray) events = vekemu_card_events(card);
    gint stream_off = -1, release_rx = -1, release_dl = -1;
    for (guint i = 0; i < events->len; i++) {
        const VekemuEvent &e = g_array_index(events, VekemuEvent, i);
        if (e.kind == VEKEMU_EVENT_CONTROL && e.bRequest == VEKEMU_GROUP_DATA &&
            e.wValue == VEKEMU_CMD_DATA_RX_STREAM && e.bmRequestType == 0x43 && e.value == 0)
            stream_off = static_cast<gint>(i);
        if (e.kind == VEKEMU_EVENT_RELEASE && e.wIndex == 0)
            release_rx = static_cast<gint>(i);
        if (e.kind == VEKEMU_EVENT_RELEASE && e.wIndex == 2)
            release_dl = static_cast<gint>(i);
    }
    EXPECT_GE(stream_off, 0);
    EXPECT_GT(release_rx, stream_off) << "RX stops before the card is released";
    EXPECT_GT(release_dl, stream_off);
    EXPECT_NE(vekbs.out().find("600 bit/s: "), std::string::npos) << vekbs.out();
    EXPECT_NE(vekbs.out().find("card: "), std::string::npos) << vekbs.out();
}

TEST_F(Live, UplinkFramesArriveAtTheBrokerAsJsonWithTheStatus)
{
    need_broker();
    Broker broker(dir_);
    ASSERT_TRUE(broker.start());
    Subscriber server(broker.port());
    const std::string rec = record({kThreeFrames[0], kThreeFrames[1], kThreeFrames[2]});
    plug(rec, VEKEMU_PACING_FAST);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--check", "--truth", rec, "--bit-rate", "600", "--mqtt",
                              broker.url(), "--station", "bs-7", "--quiet", "--config", conf_}));
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    ASSERT_TRUE(eventually([&] { return server.on("vek/bs-7/up").size() == 3; }));
    const guint32 devices[] = {0x10A1, 0x10A2, 0x10A3};
    const std::vector<Subscriber::Message> up = server.on("vek/bs-7/up");
    for (guint i = 0; i < 3; i++) {
        g_autoptr(JsonParser) parser = json_parser_new();
        JsonObject *o = parse_object(parser, up[i].payload);
        ASSERT_NE(o, nullptr) << up[i].payload;
        EXPECT_EQ(json_object_get_int_member(o, "device_id"), devices[i]);
        EXPECT_EQ(json_object_get_int_member(o, "seq"), i + 1);
        EXPECT_EQ(json_object_get_int_member(o, "bit_rate"), 600);
    }
    ASSERT_TRUE(eventually([&] { return !server.on("vek/bs-7/status").empty(); }));
    const std::vector<Subscriber::Message> status = server.on("vek/bs-7/status");
    g_autoptr(JsonParser) parser = json_parser_new();
    JsonObject *last = parse_object(parser, status.back().payload);
    ASSERT_NE(last, nullptr);
    EXPECT_STREQ(json_object_get_string_member(last, "state"), "offline");
    EXPECT_EQ(
        json_object_get_int_member(json_object_get_object_member(last, "statistics"), "published"),
        3);
}

TEST_F(Live, DownlinkRequestsReachTheCardAsTheExact28BytesAndBadOnesAreRefused)
{
    need_broker();
    Broker broker(dir_);
    ASSERT_TRUE(broker.start());
    Subscriber server(broker.port());
    VekemuCard *card = plug(record({kThreeFrames[0]}), VEKEMU_PACING_REALTIME);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--bit-rate", "600", "--mqtt", broker.url(), "--station",
                              "bs-8", "--config", conf_}));
    ASSERT_TRUE(vekbs.says("streaming at 600 bit/s")) << vekbs.err();
    /* The retained "online" status says the station is subscribed. */
    ASSERT_TRUE(eventually([&] { return !server.on("vek/bs-8/status").empty(); }));
    server.publish("vek/bs-8/down", "{\"device_id\":\"0x12AB34\",\"seq\":7,\"payload\":\"cafe01\","
                                    "\"freq\":869525000,\"id\":\"req-1\"}");
    ASSERT_TRUE(eventually([&] { return server.on("vek/bs-8/down/result").size() == 1; }))
        << vekbs.err();
    ASSERT_EQ(vekemu_card_dl_block_count(card), 1u);
    g_autoptr(GBytes) block = vekemu_card_dl_block(card, 0);
    const std::string expected = synth({"0x12AB34", "7", "cafe01", "869525000"});
    gsize size = 0;
    const auto *bytes = static_cast<const guint8 *>(g_bytes_get_data(block, &size));
    ASSERT_EQ(size, 28u);
    std::string sent;
    for (gsize i = 0; i < size; i++) {
        gchar digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        sent += digits;
    }
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_TX_CF), 869525000u);
    const std::string result = server.on("vek/bs-8/down/result")[0].payload;
    EXPECT_NE(result.find("\"id\":\"req-1\""), std::string::npos) << result;
    EXPECT_NE(result.find("\"status\":\"sent\""), std::string::npos) << result;

    for (const char *bad : {"{\"device_id\":1,\"seq\":4096,\"payload\":\"00\",\"freq\":1,\"id\":2}",
                            "{\"device_id\":1,\"seq\":1,\"payload\":\"000102030405060708\","
                            "\"freq\":1,\"id\":3}",
                            "{\"seq\":1,\"payload\":\"00\",\"freq\":1,\"id\":4}", "not json"})
        server.publish("vek/bs-8/down", bad);
    ASSERT_TRUE(eventually([&] { return server.on("vek/bs-8/down/result").size() == 5; }));
    const std::vector<Subscriber::Message> results = server.on("vek/bs-8/down/result");
    for (guint i = 1; i < 5; i++)
        EXPECT_NE(results[i].payload.find("\"status\":\"refused\""), std::string::npos)
            << results[i].payload;
    g_autoptr(JsonParser) parser = json_parser_new();
    JsonObject *refusal = parse_object(parser, results[1].payload);
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(json_object_get_int_member(refusal, "id"), 2);
    EXPECT_STREQ(json_object_get_string_member(refusal, "error"),
                 "\"seq\" must be a whole number from 0 to 4095");
    EXPECT_EQ(vekemu_card_dl_block_count(card), 1u) << "nothing sent for a refused request";
    vekbs.signal(SIGTERM);
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
}

TEST_F(Live, ABrokerRestartInTheMiddleOfARecordingLosesNoFrame)
{
    need_broker();
    Broker broker(dir_);
    ASSERT_TRUE(broker.start());
    Subscriber server(broker.port());
    /* Eight frames over six seconds, played at the card's real rate. */
    std::vector<std::string> frames;
    for (guint i = 0; i < 8; i++)
        frames.push_back("at=" + std::to_string(0.2 + 0.8 * i) + " rate=600 dev=0x20B0 seq=" +
                         std::to_string(i + 1) + " payload=0" + std::to_string(i));
    const std::string rec = record(frames);
    plug(rec, VEKEMU_PACING_REALTIME);
    Child vekbs(dir_, "vekbs");
    ASSERT_TRUE(start(vekbs, {"--card", "--check", "--truth", rec, "--bit-rate", "600", "--mqtt",
                              broker.url(), "--station", "bs-9", "--quiet", "--config", conf_}));
    ASSERT_TRUE(eventually([&] { return !server.on("vek/bs-9/up").empty(); })) << vekbs.err();
    broker.stop();
    g_usleep(1500 * 1000); /* frames keep coming meanwhile */
    ASSERT_TRUE(broker.start());
    ASSERT_EQ(vekbs.wait(), 0) << vekbs.err();
    ASSERT_TRUE(eventually([&] { return server.on("vek/bs-9/up").size() >= 8; }))
        << server.on("vek/bs-9/up").size() << " frames\n"
        << vekbs.err();
    /* At least once, in order: a frame whose acknowledgement was lost may
     * come twice, never out of order. */
    guint next = 1;
    for (const Subscriber::Message &m : server.on("vek/bs-9/up")) {
        g_autoptr(JsonParser) parser = json_parser_new();
        JsonObject *o = parse_object(parser, m.payload);
        ASSERT_NE(o, nullptr);
        const guint seq = static_cast<guint>(json_object_get_int_member(o, "seq"));
        EXPECT_TRUE(seq == next || seq == next - 1) << "frame " << seq << " after " << next - 1;
        next = MAX(next, seq + 1);
    }
    EXPECT_EQ(next, 9u);
    EXPECT_NE(vekbs.err().find("broker mqtt://"), std::string::npos) << "the loss is logged";
}
