/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekctl end to end: each test plugs emulated cards in, runs the tool as a
 * child process and compares its whole output and exit status. */
#include <vekemu/vekemu.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const std::string S = "==================================\n";

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
};

std::string action(const std::string &label)
{
    return S + "#Sending " + label + " : OK\n" + S;
}
std::string read_block(const std::string &label, const std::string &value)
{
    return S + "#Get " + label + " :   " + value + "\n" + S;
}
std::string write_block(const std::string &label, const std::string &value)
{
    return S + "#Setting " + label + " to " + value + " : OK\n" + S;
}

class Vekctl : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();

    void SetUp() override { ASSERT_NE(bed, nullptr); }
    void TearDown() override { vekemu_bed_remove_all(bed); }

    VekemuCard *add_card(void (*tweak)(VekemuCardConfig *) = nullptr)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.uptime = 1234;
        if (tweak != nullptr)
            tweak(&cfg);
        g_autoptr(GError) error = nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &error);
        EXPECT_NE(card, nullptr) << (error ? error->message : "");
        return card;
    }

    /* Runs vekctl in @workdir (NULL: the test's own working directory). */
    Outcome vekctl(std::initializer_list<const char *> args, const gchar *workdir = nullptr)
    {
        std::vector<gchar *> argv;
        argv.push_back(const_cast<gchar *>(VEKCTL_PATH));
        for (const char *a : args)
            argv.push_back(const_cast<gchar *>(a));
        argv.push_back(nullptr);
        g_auto(GStrv) envp = vekemu_child_environ(bed, VEKCTL_PATH);
        /* Byte-exact output whatever the caller's locale. */
        envp = g_environ_setenv(envp, "LC_ALL", "C.UTF-8", TRUE);
        gchar *out = nullptr;
        gchar *err = nullptr;
        gint wait_status = 0;
        g_autoptr(GError) error = nullptr;
        Outcome run;
        /* Through posix_spawn, which GLib takes when descriptors are left open
         * and no working directory is set (env changes it): a fork would run
         * the emulation's preloaded wrappers in the child, where a lock that
         * another thread held at the fork can stall it before its exec. */
        g_autofree gchar *chdir_option =
            workdir != nullptr ? g_strconcat("--chdir=", workdir, nullptr) : nullptr;
        if (workdir != nullptr) {
            argv.insert(argv.begin(), chdir_option);
            argv.insert(argv.begin(), const_cast<gchar *>("/usr/bin/env"));
        }
        const gboolean spawned =
            g_spawn_sync(nullptr, argv.data(), envp, G_SPAWN_LEAVE_DESCRIPTORS_OPEN, nullptr,
                         nullptr, &out, &err, &wait_status, &error);
        EXPECT_TRUE(spawned) << (error ? error->message : "");
        if (!spawned)
            return run;
        run.out = out;
        run.err = err;
        g_free(out);
        g_free(err);
        run.status =
            WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        return run;
    }

    /* Vendor requests the card saw, as (direction, group, command, value). */
    struct Request {
        bool in;
        guint8 group;
        guint16 cmd;
        guint32 value;
    };
    static std::vector<Request> vendor_requests(VekemuCard *card)
    {
        std::vector<Request> out;
        GArray *events = vekemu_card_events(card);
        for (guint i = 0; i < events->len; i++) {
            const auto &e = g_array_index(events, VekemuEvent, i);
            if (e.kind == VEKEMU_EVENT_CONTROL && (e.bmRequestType & 0x60) == 0x40)
                out.push_back({(e.bmRequestType & 0x80) != 0, e.bRequest, e.wValue, e.value});
        }
        g_array_unref(events);
        return out;
    }
    static bool wrote(VekemuCard *card, guint8 group, guint16 cmd)
    {
        for (const auto &r : vendor_requests(card))
            if (!r.in && r.group == group && r.cmd == cmd)
                return true;
        return false;
    }
};

/* ---- Reads and actions ---- */

using VekctlReads = Vekctl;

TEST_F(VekctlReads, BlocksFollowTheFixedOrderNotTheCommandLine)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_MONITORING, VEKEMU_CMD_MONITORING_TEMPERATURE, 215);
    const Outcome r = vekctl({"--temp", "--hwinfo", "--swinfo", "--uptime", "--ping"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, action("Ping") + read_block("Uptime", "1234 1/10th sec") +
                         read_block("SW Info", "1.2.4") +
                         read_block("HW Info", "ZEP_002_V3.4 [5]") +
                         read_block("Temperature", "21.5 °C"));
    EXPECT_EQ(r.err, "");
}

TEST_F(VekctlReads, NegativeTemperatureKeepsItsSign)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_MONITORING, VEKEMU_CMD_MONITORING_TEMPERATURE,
                        static_cast<guint32>(-25));
    const Outcome r = vekctl({"--temp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_block("Temperature", "-2.5 °C"));
}

TEST_F(VekctlReads, ErrorStackIsDrainedIncludingTheFinalZero)
{
    VekemuCard *card = add_card();
    vekemu_card_push_error(card, 5);
    vekemu_card_push_error(card, 7);
    const Outcome r = vekctl({"--errors"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_block("Error stack", " 0x00000005 0x00000007 0x00000000"));
    EXPECT_EQ(vekemu_card_error_depth(card), 0u);
}

TEST_F(VekctlReads, EmptyErrorStackSaysNoErrors)
{
    add_card();
    const Outcome r = vekctl({"--errors"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_block("Error stack", "No errors"));
}

TEST_F(VekctlReads, EepromActionsReachTheCard)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--eepreset", "--eepsave"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, action("Save in EEPROM") + action("Restore factory settings in EEPROM"));
    EXPECT_EQ(vekemu_card_save_count(card), 1u);
    EXPECT_EQ(vekemu_card_factory_reset_count(card), 1u);
}

TEST_F(VekctlReads, NoOperationPrintsNothing)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(vendor_requests(card).empty());
}

/* ---- Writes and their checks ---- */

using VekctlWrites = Vekctl;

TEST_F(VekctlWrites, CarrierWriteThenReadBack)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--cfr", "--cfr=868300000"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, write_block("RX Cf", "868300000 Hz") + read_block("RX Cf", "868300000 Hz"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF), 868300000u);
}

TEST_F(VekctlWrites, ValueMayBeTheNextArgument)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--cft", "869525000", "--xf", "260000000"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              write_block("TX Cf", "869525000 Hz") + write_block("XF", "260000000 1/10th Hz"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_TX_CF), 869525000u);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_XF), 260000000u);
}

/* A number is written whole or not at all: nothing is cut to its leading digits or to
 * 32 bits. */
TEST_F(VekctlWrites, NumbersThatAreNotWholeOrOutOfRangeAreRefusedBeforeAnyRequest)
{
    VekemuCard *card = add_card();
    const struct {
        const char *arg;
        const char *message;
    } cases[] = {
        {"--cfr=868e6", "Error: RX Cf must be greater than 0\n"},
        {"--cfr=868100000Hz", "Error: RX Cf must be greater than 0\n"},
        {"--cfr=4294967296", "Error: RX Cf must be greater than 0\n"},
        {"--cft=1.5", "Error: TX Cf must be greater than 0\n"},
        {"--xf=26e7", "Error: XF must be a whole number from 1 to 4294967295\n"},
        {"--xf=4294967296", "Error: XF must be a whole number from 1 to 4294967295\n"},
        {"--txlevel=abc", "Error: level must be a whole number from 0 to 2147483647\n"},
        {"--txlevel=4294967296", "Error: level must be a whole number from 0 to 2147483647\n"},
        {"--txlevel=2147483648", "Error: level must be a whole number from 0 to 2147483647\n"},
    };
    for (const auto &c : cases) {
        const Outcome r = vekctl({c.arg});
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
        EXPECT_EQ(r.err, c.message) << c.arg;
    }
    for (const auto &r : vendor_requests(card))
        EXPECT_TRUE(r.in) << "group " << int(r.group) << " cmd " << r.cmd << " was written";

    /* The largest values still go through. */
    const Outcome r = vekctl({"--cfr=4294967295", "--txlevel=2147483647"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF), 4294967295u);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_TX_LEVEL), 2147483647u);
}

TEST_F(VekctlWrites, CarrierNotAboveZeroIsRefusedBeforeAnyRequest)
{
    VekemuCard *card = add_card();
    for (const char *arg : {"--cfr=0", "--cfr=abc", "--cfr=-1"}) {
        vekemu_card_clear_events(card);
        const Outcome r = vekctl({arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_EQ(r.err, "Error: RX Cf must be greater than 0\n") << arg;
        EXPECT_FALSE(wrote(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF)) << arg;
    }
    Outcome r = vekctl({"--cft=0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: TX Cf must be greater than 0\n");
    r = vekctl({"--if=-4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: IF must be greater than 0\n");
}

TEST_F(VekctlWrites, CrystalNotAboveZeroIsSilentlySkipped)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--xf=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(wrote(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_XF));
}

TEST_F(VekctlWrites, TxLevelIsReadBeforeItIsWritten)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_TX_LEVEL, 3);
    const Outcome r = vekctl({"--txlevel=5", "--txlevel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_block("TX Level", "3") + write_block("TX Level", "5"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_TX_LEVEL), 5u);
}

TEST_F(VekctlWrites, NegativeTxLevelIsRefused)
{
    VekemuCard *card = add_card();
    for (const char *arg : {"--txlevel=-3", "--txlevel=-1"}) {
        const Outcome r = vekctl({arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.err, "Error: level can't be less than 0\n") << arg;
    }
    EXPECT_FALSE(wrote(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_TX_LEVEL));
}

TEST_F(VekctlWrites, PreampWriteChangesOnlyItsFieldAndUnknownFieldsReadAsUnknown)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP, 0x113);
    const Outcome r = vekctl({"--preamp1", "--preamp1=ATTEN", "--preamp2"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, write_block("Preamp1", "ATTEN") + read_block("Preamp1", "ATTEN") +
                         read_block("Preamp2", "??"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP), 0x123u);
}

TEST_F(VekctlWrites, PreampNamesAreCaseSensitive)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--preamp0=lna"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: unsupported preamp mode lna\n");
    EXPECT_FALSE(wrote(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP));
}

TEST_F(VekctlWrites, TxModeIsFollowedByTheWarning)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--mode=TX", "--mode"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, write_block("Mode", "TX") +
                         " Warning: commuting VEK radios in TX for long periods can cause HW "
                         "damage\n" +
                         read_block("Mode", "TX"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_MODE), 1u);
}

TEST_F(VekctlWrites, ModeNamesAreCaseSensitive)
{
    add_card();
    const Outcome r = vekctl({"--mode=tx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: unsupported mode tx\n");
    const Outcome lb = vekctl({"--loopback=on"});
    EXPECT_EQ(lb.status, 1);
    EXPECT_EQ(lb.err, "Error: unsupported loopback cmd 'on'\n");
}

TEST_F(VekctlWrites, ACheckFailureStopsTheRunAfterEarlierBlocks)
{
    add_card();
    const Outcome r = vekctl({"--temp", "--cfr=0", "--ping"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, action("Ping"));
    EXPECT_EQ(r.err, "Error: RX Cf must be greater than 0\n");
}

/* ---- Raw and group requests ---- */

using VekctlRaw = Vekctl;

TEST_F(VekctlRaw, GroupReadShowsTheValueThreeWays)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_PREAMP, 5);
    vekemu_card_clear_events(card);
    const Outcome r = vekctl({"--nxpget=2,4"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, read_block("NXP Group 0x0002 Cmd 0x0004", "5u 5s 0x00000005"));
    GArray *events = vekemu_card_events(card);
    ASSERT_EQ(events->len, 1u);
    const auto &e = g_array_index(events, VekemuEvent, 0);
    EXPECT_EQ(e.bmRequestType, 0xC3);
    EXPECT_EQ(e.bRequest, 2);
    EXPECT_EQ(e.wValue, 4);
    EXPECT_EQ(e.wIndex, 0);
    EXPECT_EQ(e.wLength, 4);
    g_array_unref(events);
}

TEST_F(VekctlRaw, GroupReadOfANegativeValue)
{
    VekemuCard *card = add_card();
    vekemu_card_reg_set(card, VEKEMU_GROUP_MONITORING, VEKEMU_CMD_MONITORING_TEMPERATURE,
                        static_cast<guint32>(-25));
    const Outcome r = vekctl({"--nxpget=0x4,0x1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_block("NXP Group 0x0004 Cmd 0x0001", "4294967271u -25s 0xffffffe7"));
}

TEST_F(VekctlRaw, GroupWriteSendsTheValueLittleEndian)
{
    VekemuCard *card = add_card();
    const Outcome r = vekctl({"--nxpset=2,1,33BE27A0"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, write_block("NXP Group 0x0002 Cmd 0x0001", "Data 868100000u 868100000s "
                                                                "0x33be27a0"));
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_RADIO, VEKEMU_CMD_RADIO_RX_CF), 0x33BE27A0u);
}

TEST_F(VekctlRaw, RawReadListsTheRequestAndEveryByte)
{
    add_card();
    const Outcome r = vekctl({"--rawget=2,3,1,0,0,4"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string label = "RAW USB CMD:\n"
                              "bmRequestType.type      : 0x02\n"
                              "bmRequestType.recipient : 0x03\n"
                              "bRequest                : 0x01\n"
                              "wValue                  : 0x0000\n"
                              "wIndex                  : 0x0000\n"
                              "wLength                 : 0x0004\n";
    const std::string value = "\n --RESULT--\n"
                              " [0]: 0x05\n"
                              " [1]: 0x04\n"
                              " [2]: 0x03\n"
                              " [3]: 0x12\n"
                              " ----------";
    EXPECT_EQ(r.out, read_block(label, value));
}

/* A standard GET_DESCRIPTOR of the device descriptor asking for 255 bytes: the card
 * answers its 18. */
TEST_F(VekctlRaw, RawReadShowsOnlyTheBytesTheCardAnswered)
{
    add_card();
    const Outcome r = vekctl({"--rawget=0,0,6,0100,0,ff"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("wLength                 : 0x00ff\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" --RESULT--\n [0]: 0x12\n [1]: 0x01\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" [17]: 0x01\n ----------"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(" [18]:"), std::string::npos) << r.out;
}

TEST_F(VekctlRaw, FieldCountsAreExact)
{
    VekemuCard *card = add_card();
    Outcome r = vekctl({"--nxpget=2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: exactly 2 params expected\n");
    r = vekctl({"--rawget=2,3,1,0,0,4,9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: exactly 6 params expected\n");
    r = vekctl({"--nxpset=2,1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: exactly 3 params expected\n");
    EXPECT_TRUE(vendor_requests(card).empty());
}

/* ---- Card selection, parsing and failures ---- */

using VekctlRun = Vekctl;

TEST_F(VekctlRun, VersionNeedsNoCard)
{
    const Outcome r = vekctl({"--ping", "-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vekctl from vekutils 2.0 [user build]\n");
}

TEST_F(VekctlRun, NegativeIdIsRefused)
{
    add_card();
    const Outcome r = vekctl({"--id=-3", "--ping"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Device number can't be less than 0\n");
}

TEST_F(VekctlRun, IdMinus99MeansTheFirstCard)
{
    add_card();
    const Outcome r = vekctl({"--id=-99", "--ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, action("Ping"));
}

TEST_F(VekctlRun, IdSelectsTheCard)
{
    add_card();
    add_card();
    Outcome r = vekctl({"-i", "1", "--ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, action("Ping"));
    r = vekctl({"--id=2", "--ping"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: Failed obtain device: id 2: no such device\n");
}

TEST_F(VekctlRun, NoCardIsAnError)
{
    const Outcome r = vekctl({"--ping"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: No xvek device detected\n");
}

TEST_F(VekctlRun, ParseFailurePrintsTheHelp)
{
    const Outcome help = vekctl({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("- vekrecord"), std::string::npos);
    EXPECT_NE(help.out.find("Get or Set RX Central freq (Hz)"), std::string::npos);
    for (const char *bad : {"--bogus", "--id=abc", "--rawget"}) {
        const Outcome r = vekctl({bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, help.out) << bad;
        EXPECT_EQ(r.err, "") << bad;
    }
}

TEST_F(VekctlRun, VerboseIsAccepted)
{
    add_card();
    const Outcome r = vekctl({"-v", "--ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, action("Ping"));
}

TEST_F(VekctlRun, UnsupportedFeaturesEndTheRun)
{
    add_card();
    Outcome r = vekctl({"--if"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, S + "#Get IF : Error: IF Get feature not currently supported\n");
    r = vekctl({"--synth"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, S + "#Get Synth : Error: Get synth feature not currently supported\n");
    r = vekctl({"--loopback=ON"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, S + "#Setting Loopback to ON : Error: Stream loopback feature not "
                         "currently supported\n");
}

TEST_F(VekctlRun, DeviceErrorCompletesTheOpenLine)
{
    VekemuCard *card = add_card();
    vekemu_card_fault_control(card, VEKEMU_GROUP_MONITORING, VEKEMU_CMD_MONITORING_TEMPERATURE,
                              VEKEMU_FAULT_STALL, 1);
    const Outcome r = vekctl({"--ping", "--temp", "--rawget=2,3,1,0,0,4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, action("Ping") + S +
                         "#Get Temperature : Error: Failed to send vek "
                         "temperature get: Bottom usb control IN failed "
                         "[group 4, cmd 1](error -9: LIBUSB_ERROR_PIPE)\n");
}

/* Blocks that never reach their reader are no success. */
TEST_F(VekctlRun, AFailedWriteToStandardOutputFailsTheRun)
{
    add_card();
    const gchar *argv[] = {VEKCTL_PATH, "--hwinfo", nullptr};
    g_auto(GStrv) envp = vekemu_child_environ(bed, VEKCTL_PATH);
    envp = g_environ_setenv(envp, "LC_ALL", "C.UTF-8", TRUE);
    const int full = g_open("/dev/full", O_WRONLY, 0);
    ASSERT_GE(full, 0);
    GPid pid = 0;
    gint err_fd = -1;
    g_autoptr(GError) error = nullptr;
    const gboolean spawned = g_spawn_async_with_pipes_and_fds(
        nullptr, argv, envp,
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_LEAVE_DESCRIPTORS_OPEN),
        nullptr, nullptr, -1, full, -1, nullptr, nullptr, 0, &pid, nullptr, nullptr, &err_fd,
        &error);
    close(full);
    ASSERT_TRUE(spawned) << error->message;
    std::string err;
    char buf[256];
    for (ssize_t n; (n = read(err_fd, buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<gsize>(n));
    close(err_fd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(err, "Error: cannot write to standard output: No space left on device\n");
}

/* A card whose firmware hangs ends the run with the request's timeout instead of
 * hanging the tool. */
TEST_F(VekctlRun, ACardThatNeverAnswersEndsTheRunWithATimeout)
{
    VekemuCard *card = add_card();
    vekemu_card_set_unresponsive(card, TRUE);
    const Outcome r = vekctl({"--hwinfo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, S + "#Get HW Info : Error: Failed reading hw info: Bottom usb control IN "
                         "failed [group 1, cmd 0](error -7: LIBUSB_ERROR_TIMEOUT)\n");
}

/* ---- A card in DFU mode ---- */

class VekctlDfu : public Vekctl
{
  protected:
    gchar *dir = g_dir_make_tmp("vekctl-XXXXXX", nullptr);

    void TearDown() override
    {
        g_autofree gchar *image = g_build_filename(dir, "ORB.bin.hdr", nullptr);
        g_unlink(image);
        g_rmdir(dir);
        g_free(dir);
        Vekctl::TearDown();
    }
};

TEST_F(VekctlDfu, BootLoaderIsProgrammedBeforeTheCardIsUsed)
{
    g_autofree gchar *image = g_build_filename(dir, "ORB.bin.hdr", nullptr);
    ASSERT_TRUE(g_file_set_contents(image, std::string(1100, '\x5a').c_str(), 1100, nullptr));
    ASSERT_NE(vekemu_add_dfu_card(bed, nullptr, nullptr), nullptr);
    const Outcome r = vekctl({"--ping"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "#\n"
                     "Programming DFU Device <0x1fc9:0x000c>: transferred 2 blocks of 1024B + "
                     "last block 76B\n"
                     "Firmware 'ORB.bin.hdr' flashed to 1 device(s)\n"
                     "#\n" +
                         action("Ping"));
}

TEST_F(VekctlDfu, MissingImageStopsTheRun)
{
    ASSERT_NE(vekemu_add_dfu_card(bed, nullptr, nullptr), nullptr);
    add_card();
    const Outcome r = vekctl({"--ping"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(g_str_has_prefix(r.out.c_str(),
                                 "Error: Failed to create global vek context: Failed to program "
                                 "devices using dfu standard Failed to flash device "))
        << r.out;
    EXPECT_NE(r.out.find("Failed to open firmware file ORB.bin.hdr: "), std::string::npos);
}

/* ---- Installed files ---- */

TEST(VekctlUdevRule, GivesTheSeatAccessToCardAndBootLoader)
{
    gchar *text = nullptr;
    ASSERT_TRUE(g_file_get_contents(VEKCTL_UDEV_RULES, &text, nullptr, nullptr));
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    g_free(text);
    const char *ids[][2] = {{"6b3e", "0001"}, {"1fc9", "008a"}, {"1fc9", "000c"}, {"6b3e", "8001"}};
    for (const auto &id : ids) {
        g_autofree gchar *vid = g_strdup_printf("ATTR{idVendor}==\"%s\"", id[0]);
        g_autofree gchar *pid = g_strdup_printf("ATTR{idProduct}==\"%s\"", id[1]);
        guint rules = 0;
        for (gchar **l = lines; *l != nullptr; l++)
            if (**l != '#' && strstr(*l, vid) && strstr(*l, pid) &&
                strstr(*l, "SUBSYSTEM==\"usb\"") && strstr(*l, "TAG+=\"uaccess\""))
                rules++;
        EXPECT_EQ(rules, 1u) << id[0] << ":" << id[1];
    }
}

} // namespace
