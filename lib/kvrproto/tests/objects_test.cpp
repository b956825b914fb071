/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame objects: the class chosen for a line or record, the payload rules of
// each layout, and the properties mapped onto the record.
#include "test-util.h"

#include <clocale>
#include <cmath>
#include <cstring>

namespace
{

GenPtr parse_object(const char *line)
{
    GError *error = nullptr;
    KvrprotoFrameGen *frame = kvrproto_parse(line, &error);
    ErrorPtr owned(error);
    EXPECT_NE(frame, nullptr) << (error ? error->message : "");
    return GenPtr(frame);
}

kvrframe record(KvrprotoFrameGen *frame)
{
    FramePtr copy(kvrproto_frame_to_struct(frame));
    return copy ? *copy : kvrframe{};
}

std::vector<guint8> payload_of(KvrprotoFrameGen *frame)
{
    guint8 bytes[12];
    guint8 length = 0xFF;
    GError *error = nullptr;
    const gboolean ok = kvrproto_frame_gen_get_payload(frame, bytes, &length, &error);
    ErrorPtr owned(error);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    return std::vector<guint8>(bytes, bytes + length);
}

std::vector<guint8> sequence(guint length, guint8 first = 0xA0)
{
    std::vector<guint8> bytes(length);
    for (guint i = 0; i < length; ++i)
        bytes[i] = static_cast<guint8>(first + i);
    return bytes;
}

// Collects the critical warnings the library emits.
class CriticalCatcher
{
  public:
    CriticalCatcher()
    {
        handler_ = g_log_set_handler("kvrproto", G_LOG_LEVEL_CRITICAL, collect, this);
    }
    ~CriticalCatcher() { g_log_remove_handler("kvrproto", handler_); }
    std::vector<std::string> messages;

  private:
    static void collect(const gchar *, GLogLevelFlags, const gchar *message, gpointer self)
    {
        static_cast<CriticalCatcher *>(self)->messages.push_back(message);
    }
    guint handler_ = 0;
};

} // namespace

TEST(FrameClass, ChosenByTheLine)
{
    GenPtr v0 = parse_object("FDATA 0 01 2 - 1 0 0 0 0");
    GenPtr v1 = parse_object("FDATA_V1 0 0 0 - 0 0 0 0");
    GenPtr oob = parse_object("FDATA_V1 0 0 1 - 0 0 0 0");
    GenPtr dlk = parse_object("TXDATA_V1 0 0 0 0 0 0 0 A 79CE -");
    ASSERT_TRUE(v0 && v1 && oob && dlk);
    EXPECT_EQ(G_OBJECT_TYPE(v0.get()), KVRPROTO_TYPE_FRAME_V0);
    EXPECT_EQ(G_OBJECT_TYPE(v1.get()), KVRPROTO_TYPE_FRAME_V1);
    EXPECT_EQ(G_OBJECT_TYPE(oob.get()), KVRPROTO_TYPE_FRAME_V1_OOB);
    EXPECT_EQ(G_OBJECT_TYPE(dlk.get()), KVRPROTO_TYPE_FRAME_V1_DLK);
    EXPECT_EQ(uint_property(v0.get(), "version"), 1u);
    EXPECT_EQ(uint_property(oob.get(), "version"), 2u);
    EXPECT_EQ(uint_property(dlk.get(), "version"), 0x42u);
    EXPECT_TRUE(KVRPROTO_IS_FRAME_UPLK(oob.get()));
    EXPECT_FALSE(KVRPROTO_IS_FRAME_UPLK(dlk.get()));
}

TEST(FrameClass, ParseErrors)
{
    GError *error = nullptr;
    EXPECT_EQ(kvrproto_parse("RXDATA 1 2 3", &error), nullptr);
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADFORMAT, "unknown FDATA/TXDATA header: RXDATA 1 2 3"));
    error = nullptr;
    EXPECT_EQ(kvrproto_parse("FDATA_V1 0 0 0 - 0 0 0", &error), nullptr);
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADFORMAT,
                     "cannot parse FDATA_V1, invalid format (7!=8): FDATA_V1 0 0 0 - 0 0 0"));
}

TEST(FrameClass, ParseLeavesTheProcessLocaleAlone)
{
    // A host with a decimal comma keeps its locale and still reads points.
    const std::string before = setlocale(LC_ALL, nullptr);
    if (!setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        setlocale(LC_NUMERIC, "C.UTF-8");
    const std::string numeric = setlocale(LC_NUMERIC, nullptr);
    GenPtr frame = parse_object("FDATA_V1 0 0 0 - 0 1.5 0 0");
    EXPECT_EQ(setlocale(LC_NUMERIC, nullptr), numeric);
    setlocale(LC_ALL, before.c_str());
    ASSERT_TRUE(frame);
    EXPECT_DOUBLE_EQ(double_property(frame.get(), "frequency"), 1.5);
}

TEST(FrameClass, ChosenByTheRecord)
{
    kvrframe rec = {};
    const struct {
        guint8 v;
        guint8 oob;
        GType type;
    } cases[] = {
        {KVRPROTO_VERSION_V0, 1, KVRPROTO_TYPE_FRAME_V0},
        {KVRPROTO_VERSION_V1, 0, KVRPROTO_TYPE_FRAME_V1},
        {KVRPROTO_VERSION_V1, 1, KVRPROTO_TYPE_FRAME_V1_OOB},
        {KVRPROTO_VERSION_V1, 2, KVRPROTO_TYPE_FRAME_V1},
        {KVRPROTO_VERSION_V1_DLK, 0, KVRPROTO_TYPE_FRAME_V1_DLK},
    };
    for (const auto &c : cases) {
        rec = {};
        rec.v = c.v;
        rec.f.v1.oob = c.oob;
        GenPtr frame(kvrproto_frame_from_struct(&rec, nullptr));
        ASSERT_TRUE(frame);
        EXPECT_EQ(G_OBJECT_TYPE(frame.get()), c.type) << "v " << int{c.v};
    }
    rec = {};
    rec.v = 3;
    GError *error = nullptr;
    EXPECT_EQ(kvrproto_frame_from_struct(&rec, &error), nullptr);
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_UNKNOWN_VERSION, "unsupported protocol version 3"));
}

TEST(FrameConversion, RecordsAreIndependentCopies)
{
    GenPtr frame = parse_object("FDATA_V1 3 22 0 C56778563412A0A1A2A3A40000000000 77 -150 "
                                "12.50 -120.25");
    ASSERT_TRUE(frame);
    FramePtr copy(kvrproto_frame_to_struct(frame.get()));
    ASSERT_TRUE(copy);
    copy->f.v1.data[6] = 0;
    EXPECT_EQ(payload_of(frame.get()), sequence(5)) << "editing the copy left the object alone";

    KvrprotoFrameGen *duplicate = nullptr;
    ASSERT_TRUE(kvrproto_frame_gen_copy(frame.get(), &duplicate, nullptr));
    GenPtr owned(duplicate);
    EXPECT_EQ(G_OBJECT_TYPE(duplicate), KVRPROTO_TYPE_FRAME_V1);
    EXPECT_EQ(take_text(kvrproto_frame_gen_to_string(duplicate, nullptr)),
              "FDATA_V1 3 22 0 C56778563412A0A1A2A3A40000000000 77 -150 12.50 -120.25");
}

// The bit rate a receiver gives a frame, and the repetitions it was combined
// from, stay with its record and every copy; the line has no field for them, and
// the first version's record no room.
TEST(FrameConversion, TheBitRateAndCombinedRepetitionsTravelWithTheRecord)
{
    const char *line = "FDATA_V1 3 22 0 C56778563412A0A1A2A3A40000000000 77 -150 12.50 -120.25";
    kvrframe *parsed = nullptr;
    ASSERT_TRUE(kvrproto_fdata_parse(line, &parsed, nullptr));
    FramePtr rec(parsed);
    EXPECT_EQ(rec->f.v1.bit_rate, 0u) << "the line does not carry it";
    EXPECT_EQ(rec->combined, 0u) << "nor this";
    rec->f.v1.bit_rate = 600;
    rec->combined = 0x5;
    GenPtr frame(kvrproto_frame_from_struct(rec.get(), nullptr));
    ASSERT_TRUE(frame);
    EXPECT_EQ(uint_property(frame.get(), "bit-rate"), 600u);
    EXPECT_EQ(uint_property(frame.get(), "combined"), 0x5u);
    KvrprotoFrameGen *duplicate = nullptr;
    ASSERT_TRUE(kvrproto_frame_gen_copy(frame.get(), &duplicate, nullptr));
    GenPtr owned(duplicate);
    EXPECT_EQ(uint_property(duplicate, "bit-rate"), 600u);
    EXPECT_EQ(uint_property(duplicate, "combined"), 0x5u);
    g_object_set(frame.get(), "bit-rate", 100u, "combined", 0x6u, nullptr);
    FramePtr back(kvrproto_frame_to_struct(frame.get()));
    EXPECT_EQ(back->f.v1.bit_rate, 100u);
    EXPECT_EQ(back->combined, 0x6u);
    EXPECT_EQ(take_text(kvrproto_frame_gen_to_string(frame.get(), nullptr)), line);

    ObjectPtr<KvrprotoFrameV0> v0(
        kvrproto_frame_v0_new_with_options("bit-rate", 600u, "combined", 3u, nullptr));
    EXPECT_EQ(uint_property(v0.get(), "bit-rate"), 0u);
    EXPECT_EQ(uint_property(v0.get(), "combined"), 0u);
    kvrframe zero = {};
    zero.v = KVRPROTO_VERSION_V0;
    kvrframe v0_record = record(KVRPROTO_FRAME_GEN(v0.get()));
    EXPECT_EQ(memcmp(&v0_record, &zero, sizeof(zero)), 0) << "nothing was written anywhere";
}

// Current uplink payloads of every length fall into the size classes 0, 1,
// 4, 8 and 12 bytes; the code fills the rest of the class.
class UplinkPayloadRules : public ::testing::TestWithParam<guint>
{
};

TEST_P(UplinkPayloadRules, SizeClassLengthsAndCodePosition)
{
    const guint length = GetParam();
    const guint size_class = length <= 1 ? length : (length + 3) / 4 * 4;
    ObjectPtr<KvrprotoFrameV1> frame(kvrproto_frame_v1_new());
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    const std::vector<guint8> payload = sequence(length);
    ASSERT_TRUE(kvrproto_frame_gen_set_payload(gen, payload.data(), length, nullptr));

    EXPECT_EQ(uint_property(gen, "lg"), size_class - length);
    EXPECT_EQ(uint_property(gen, "length"), size_class + 14);
    EXPECT_EQ(uint_property(gen, "data-size"), size_class + 8);
    EXPECT_EQ(payload_of(gen), payload);
    EXPECT_EQ(bytes_property(gen, "data"), payload);
    const guint code_length = length == 0 ? 2 : size_class - length + 2;
    EXPECT_EQ(bytes_property(gen, "hmac").size(), code_length);
    EXPECT_EQ(bytes_property(gen, "raw").size(), size_class + 8);

    // The code follows the payload: mark it through the record and read it back.
    kvrframe rec = record(gen);
    for (guint i = 0; i < code_length; ++i)
        rec.f.v1.data[6 + length + i] = static_cast<guint8>(0x10 + i);
    GenPtr marked(kvrproto_frame_from_struct(&rec, nullptr));
    EXPECT_EQ(bytes_property(marked.get(), "hmac"), sequence(code_length, 0x10));
}

INSTANTIATE_TEST_SUITE_P(EveryLength, UplinkPayloadRules, ::testing::Range(0u, 13u));

TEST(PayloadRules, FiveBytesOnCurrentUplink)
{
    ObjectPtr<KvrprotoFrameV1> frame(kvrproto_frame_v1_new());
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    g_object_set(gen, "seq", 0x5AB, "ack", 1u, nullptr);
    const std::vector<guint8> payload = sequence(5);
    ASSERT_TRUE(kvrproto_frame_gen_set_payload(gen, payload.data(), 5, nullptr));
    EXPECT_EQ(uint_property(gen, "lg"), 3u);
    EXPECT_EQ(uint_property(gen, "length"), 22u);
    EXPECT_EQ(uint_property(gen, "data-size"), 16u);
    EXPECT_EQ(uint_property(gen, "seq"), 0x5ABu) << "the header survives a new payload";
    EXPECT_EQ(uint_property(gen, "ack"), 1u);
    const kvrframe rec = record(gen);
    EXPECT_EQ(memcmp(rec.f.v1.data + 6, payload.data(), 5), 0);
}

TEST(PayloadRules, ShorterPayloadClearsTheOldCode)
{
    ObjectPtr<KvrprotoFrameV1> frame(kvrproto_frame_v1_new());
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    std::vector<guint8> payload = sequence(12);
    ASSERT_TRUE(kvrproto_frame_gen_set_payload(gen, payload.data(), 12, nullptr));
    payload.resize(2);
    ASSERT_TRUE(kvrproto_frame_gen_set_payload(gen, payload.data(), 2, nullptr));
    const kvrframe rec = record(gen);
    for (guint i = 8; i < 20; ++i)
        EXPECT_EQ(rec.f.v1.data[i], 0) << "byte " << i;
    EXPECT_EQ(payload_of(gen), payload);
}

TEST(PayloadRules, LengthsBeyondTheLayoutAreRefused)
{
    const std::vector<guint8> bytes = sequence(13);
    ObjectPtr<KvrprotoFrameV1> v1(kvrproto_frame_v1_new());
    GError *error = nullptr;
    EXPECT_FALSE(
        kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(v1.get()), bytes.data(), 13, &error));
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 13"));
    EXPECT_EQ(uint_property(v1.get(), "data-size"), 0u) << "the record is left as it was";

    ObjectPtr<KvrprotoFrameV1Dlk> dlk(kvrproto_frame_v1_dlk_new());
    error = nullptr;
    EXPECT_FALSE(
        kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(dlk.get()), bytes.data(), 9, &error));
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 9"));
    ASSERT_TRUE(
        kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(dlk.get()), bytes.data(), 8, nullptr));
    EXPECT_EQ(payload_of(KVRPROTO_FRAME_GEN(dlk.get())), sequence(8));

    ObjectPtr<KvrprotoFrameV0> v0(kvrproto_frame_v0_new());
    EXPECT_FALSE(
        kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(v0.get()), bytes.data(), 13, nullptr));
}

TEST(PayloadRules, FirstVersionLengthCodeInHeader)
{
    // Length code: L below 3 is L itself, else (L / 2 + 1) & 0xF.
    const guint expected[] = {0, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7};
    ObjectPtr<KvrprotoFrameV0> frame(kvrproto_frame_v0_new());
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    // Lengths set from the longest down: the code never keeps bits of an earlier payload.
    for (guint length = 12; length-- > 0;) {
        const std::vector<guint8> payload = sequence(length);
        ASSERT_TRUE(kvrproto_frame_gen_set_payload(gen, payload.data(), length, nullptr));
        EXPECT_EQ(uint_property(gen, "ph"), expected[length]) << "length " << length;
        EXPECT_EQ(uint_property(gen, "data-size"), length);
        EXPECT_EQ(payload_of(gen), payload);
    }
}

TEST(PayloadRules, IncoherentRecordsReadAsErrors)
{
    kvrframe rec = {};
    rec.v = KVRPROTO_VERSION_V1;
    rec.f.v1.data_s = 9;
    rec.f.v1.data[0] = 0xC0; // lg 3: 9 - (3 + 8) = -2
    GenPtr frame(kvrproto_frame_from_struct(&rec, nullptr));
    guint8 bytes[12];
    guint8 length = 7;
    GError *error = nullptr;
    EXPECT_FALSE(kvrproto_frame_gen_get_payload(frame.get(), bytes, &length, &error));
    ErrorPtr owned(error);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "incoherent payload length -2"));
    EXPECT_TRUE(bytes_property(frame.get(), "data").empty());
    EXPECT_TRUE(bytes_property(frame.get(), "hmac").empty());

    // A count beyond the 20 data bytes would read past the record.
    rec.f.v1.data_s = 100;
    rec.f.v1.data[0] = 0;
    frame.reset(kvrproto_frame_from_struct(&rec, nullptr));
    error = nullptr;
    EXPECT_FALSE(kvrproto_frame_gen_get_payload(frame.get(), bytes, &length, &error));
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 100"));
    EXPECT_EQ(bytes_property(frame.get(), "raw").size(), 20u);

    rec = {};
    rec.v = KVRPROTO_VERSION_V0;
    rec.f.v0.data_s = 13;
    frame.reset(kvrproto_frame_from_struct(&rec, nullptr));
    error = nullptr;
    EXPECT_FALSE(kvrproto_frame_gen_get_payload(frame.get(), bytes, &length, &error));
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 13"));
}

TEST(FrameProperties, SequenceAndHeaderBits)
{
    ObjectPtr<KvrprotoFrameV1> frame(kvrproto_frame_v1_new_with_options(
        "lg", 2u, "ack", 1u, "res", 1u, "frame-seq", 3u, "oob", 1u, "tid", 0x12345678u, nullptr));
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    g_object_set(gen, "seq", 0xABCu, nullptr);
    kvrframe rec = record(gen);
    EXPECT_EQ(rec.f.v1.data[0], 0x80 | 0x20 | 0x10 | 0x0A);
    EXPECT_EQ(rec.f.v1.data[1], 0xBC);
    EXPECT_EQ(rec.f.v1.seq, 3);
    EXPECT_EQ(rec.f.v1.oob, 1);
    EXPECT_EQ(kvrproto_get_tstid(&rec, nullptr), 0x12345678u);
    EXPECT_EQ(rec.f.v1.data[2], 0x78) << "tid is stored least significant byte first";

    g_object_set(gen, "res", 0u, "lg", 1u, nullptr);
    rec = record(gen);
    EXPECT_EQ(rec.f.v1.data[0], 0x40 | 0x20 | 0x0A);
    EXPECT_EQ(uint_property(gen, "seq"), 0xABCu);
}

TEST(FrameProperties, SharedFieldsOnEveryLayout)
{
    ObjectPtr<KvrprotoFrameV0> v0(kvrproto_frame_v0_new_with_options(
        "tid", 0x12345u, "frequency", -1250.5, "timestamp", 1.7e15, "snr", 7.25, nullptr));
    kvrframe rec = record(KVRPROTO_FRAME_GEN(v0.get()));
    EXPECT_EQ(rec.f.v0.tid, 0x2345) << "the first version keeps 16 bits";
    EXPECT_FLOAT_EQ(rec.f.v0.freq, -1250.5f);
    EXPECT_EQ(rec.f.v0.timestamp, 1700000000000000);
    EXPECT_FLOAT_EQ(rec.f.v0.snr, 7.25f);

    ObjectPtr<KvrprotoFrameV1Dlk> dlk(kvrproto_frame_v1_dlk_new_with_options(
        "tid", 0xFEDCBA98u, "mode", 7u, "slot", 2.5, "power", 14.0, "seq", 4095u, "ext", 3u,
        "timestamp", 12.9, nullptr));
    rec = record(KVRPROTO_FRAME_GEN(dlk.get()));
    EXPECT_EQ(rec.f.v1dlk.tid, 0xFEDCBA98u);
    EXPECT_EQ(rec.f.v1dlk.mode, 7u);
    EXPECT_FLOAT_EQ(rec.f.v1dlk.slot, 2.5f);
    EXPECT_FLOAT_EQ(rec.f.v1dlk.power, 14.0f);
    EXPECT_EQ(rec.f.v1dlk.seq, 4095);
    EXPECT_EQ(rec.f.v1dlk.ext, 3) << "the property keeps the whole byte";
    EXPECT_EQ(rec.f.v1dlk.timestamp, 12) << "time values are truncated";
    EXPECT_EQ(uint_property(dlk.get(), "tid"), 0xFEDCBA98u);
    for (guint ext : {0u, 2u, 254u, 255u}) {
        g_object_set(dlk.get(), "ext", ext, nullptr);
        EXPECT_EQ(uint_property(dlk.get(), "ext"), ext);
    }
}

TEST(FrameProperties, ValuesBeyondTheFieldsAreBounded)
{
    ObjectPtr<KvrprotoFrameV1> frame(kvrproto_frame_v1_new_with_options(
        "frequency", 1e300, "rssi", -1e300, "timestamp", 1e300, nullptr));
    auto *gen = KVRPROTO_FRAME_GEN(frame.get());
    EXPECT_TRUE(std::isinf(double_property(gen, "frequency")));
    EXPECT_LT(double_property(gen, "rssi"), 0);
    EXPECT_TRUE(std::isinf(double_property(gen, "rssi")));
    EXPECT_EQ(record(gen).f.v1.timestamp, G_MAXINT64);
}

TEST(FrameProperties, WrongLayoutDoesNothing)
{
    // A bare base object has no layout: writes are dropped, reads keep defaults.
    ObjectPtr<KvrprotoFrameGen> gen(
        KVRPROTO_FRAME_GEN(g_object_new(KVRPROTO_TYPE_FRAME_GEN, nullptr)));
    g_object_set(gen.get(), "tid", 77u, "frequency", 5.0, "timestamp", 9.0, nullptr);
    EXPECT_EQ(uint_property(gen.get(), "tid"), 0u);
    EXPECT_EQ(double_property(gen.get(), "frequency"), 0.0);
    EXPECT_EQ(double_property(gen.get(), "timestamp"), 0.0);
    EXPECT_EQ(uint_property(gen.get(), "data-size"), 0u);
    GArray *data = reinterpret_cast<GArray *>(0x1);
    g_object_get(gen.get(), "data", &data, nullptr);
    EXPECT_EQ(data, nullptr);
    kvrframe rec = record(gen.get());
    EXPECT_EQ(rec.v, 0);
    kvrframe zero = {};
    EXPECT_EQ(memcmp(&rec, &zero, sizeof(rec)), 0);

    GError *error = nullptr;
    const guint8 byte = 1;
    EXPECT_FALSE(kvrproto_frame_gen_set_payload(gen.get(), &byte, 1, &error));
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_UNKNOWN_VERSION, "unsupported protocol version 0"));

    ObjectPtr<KvrprotoFrameUplk> uplk(
        KVRPROTO_FRAME_UPLK(g_object_new(KVRPROTO_TYPE_FRAME_UPLK, nullptr)));
    g_object_set(uplk.get(), "snr", 3.0, "rssi", -4.0, nullptr);
    EXPECT_EQ(double_property(uplk.get(), "snr"), 0.0);
    rec = record(KVRPROTO_FRAME_GEN(uplk.get()));
    EXPECT_EQ(memcmp(&rec, &zero, sizeof(rec)), 0);
}

TEST(FrameProperties, DownlinkCodeTakesExactlyTwoBytes)
{
    ObjectPtr<KvrprotoFrameV1Dlk> frame(kvrproto_frame_v1_dlk_new());
    GArray *two = g_array_new(FALSE, FALSE, 1);
    const guint8 code[] = {0x79, 0xCE, 0x01};
    g_array_append_vals(two, code, 2);
    g_object_set(frame.get(), "hmac", two, nullptr);
    EXPECT_EQ(bytes_property(frame.get(), "hmac"), (std::vector<guint8>{0x79, 0xCE}));

    CriticalCatcher catcher;
    g_array_append_vals(two, code + 2, 1);
    g_object_set(frame.get(), "hmac", two, nullptr);
    EXPECT_EQ(bytes_property(frame.get(), "hmac"), (std::vector<guint8>{0, 0}))
        << "a refused code leaves zero, not the old code";
    g_array_unref(two);

    GArray *wide = g_array_new(FALSE, FALSE, sizeof(guint32));
    const guint32 words[] = {1, 2};
    g_array_append_vals(wide, words, 2);
    g_object_set(frame.get(), "hmac", wide, nullptr);
    g_array_unref(wide);
    EXPECT_EQ(bytes_property(frame.get(), "hmac"), (std::vector<guint8>{0, 0}));

    ASSERT_EQ(catcher.messages.size(), 2u);
    EXPECT_NE(catcher.messages[0].find("'src->len == len'"), std::string::npos)
        << catcher.messages[0];
    EXPECT_NE(catcher.messages[1].find("'g_array_get_element_size (src) == sizeof (a[0])'"),
              std::string::npos)
        << catcher.messages[1];
}

TEST(FrameProperties, OutOfBandReports)
{
    GenPtr frame = parse_object("FDATA_V1 0 26 1 05677856341200FF7F3412CDAB00000000000000 0 0 0 0");
    ASSERT_TRUE(frame);
    ASSERT_EQ(G_OBJECT_TYPE(frame.get()), KVRPROTO_TYPE_FRAME_V1_OOB);
    EXPECT_EQ(uint_property(frame.get(), "vdd-idle"), 0x7FFFu);
    EXPECT_EQ(uint_property(frame.get(), "vdd-tx"), 0x1234u);
    EXPECT_EQ(uint_property(frame.get(), "temperature"), 0xABCDu);
}

// Every property with its nick, range, default and access, as hosts see them.
TEST(FrameProperties, Specifications)
{
    struct PropertyCase {
        GType type;
        const char *name;
        const char *nick;
        guint min, max, def;
        bool writable;
    };
    const PropertyCase specs[] = {
        {KVRPROTO_TYPE_FRAME_GEN, "version", "Frame version", 1, 66, 2, false},
        {KVRPROTO_TYPE_FRAME_GEN, "tid", "TST ID", 0, G_MAXUINT32, 0, true},
        {KVRPROTO_TYPE_FRAME_GEN, "data-size", "Data size", 0, 255, 0, false},
        {KVRPROTO_TYPE_FRAME_V0, "ph", "Protocol header", 0, 255, 0, false},
        {KVRPROTO_TYPE_FRAME_V1, "frame-seq", "sequence frame", 0, 3, 0, true},
        {KVRPROTO_TYPE_FRAME_V1, "oob", "Oob", 0, 1, 0, true},
        {KVRPROTO_TYPE_FRAME_V1, "length", "Length", 0, 255, 0, false},
        {KVRPROTO_TYPE_FRAME_V1, "lg", "LG", 0, 3, 0, true},
        {KVRPROTO_TYPE_FRAME_V1, "res", "Res", 0, 1, 0, true},
        {KVRPROTO_TYPE_FRAME_V1, "ack", "Ack", 0, 1, 0, true},
        {KVRPROTO_TYPE_FRAME_V1, "seq", "Seq", 0, 4095, 0, true},
        {KVRPROTO_TYPE_FRAME_V1_OOB, "temperature", "Température", 0, 65535, 0, false},
        {KVRPROTO_TYPE_FRAME_V1_OOB, "vdd-tx", "Vdd Tx", 0, 65535, 0, false},
        {KVRPROTO_TYPE_FRAME_V1_OOB, "vdd-idle", "Vdd Idle", 0, 32767, 0, false},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "mode", "Mode", 0, G_MAXUINT32, 0, true},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "seq", "Seq", 0, 4095, 0, true},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "ext", "Ext", 0, 255, 0, true},
        {KVRPROTO_TYPE_FRAME_UPLK, "bit-rate", "Bit rate", 0, G_MAXUINT, 0, true},
        {KVRPROTO_TYPE_FRAME_UPLK, "combined", "Combined", 0, 7, 0, true},
    };
    for (const PropertyCase &s : specs) {
        auto *klass = static_cast<GObjectClass *>(g_type_class_ref(s.type));
        GParamSpec *pspec = g_object_class_find_property(klass, s.name);
        ASSERT_NE(pspec, nullptr) << s.name;
        ASSERT_TRUE(G_IS_PARAM_SPEC_UINT(pspec)) << s.name;
        EXPECT_STREQ(g_param_spec_get_nick(pspec), s.nick);
        EXPECT_STREQ(g_param_spec_get_blurb(pspec), s.nick);
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->minimum, s.min) << s.name;
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->maximum, s.max) << s.name;
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->default_value, s.def) << s.name;
        EXPECT_TRUE(pspec->flags & G_PARAM_READABLE) << s.name;
        EXPECT_EQ((pspec->flags & G_PARAM_WRITABLE) != 0, s.writable) << s.name;
        g_type_class_unref(klass);
    }

    struct DoubleSpec {
        GType type;
        const char *name;
        const char *nick;
        double min;
    };
    const DoubleSpec doubles[] = {
        {KVRPROTO_TYPE_FRAME_GEN, "frequency", "Frequency", -G_MAXDOUBLE},
        {KVRPROTO_TYPE_FRAME_GEN, "timestamp", "Timestamp", 0},
        {KVRPROTO_TYPE_FRAME_UPLK, "snr", "SNR", -G_MAXDOUBLE},
        {KVRPROTO_TYPE_FRAME_UPLK, "rssi", "Rssi", -G_MAXDOUBLE},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "slot", "Slot", -G_MAXDOUBLE},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "power", "Power", -G_MAXDOUBLE},
    };
    for (const DoubleSpec &s : doubles) {
        auto *klass = static_cast<GObjectClass *>(g_type_class_ref(s.type));
        GParamSpec *pspec = g_object_class_find_property(klass, s.name);
        ASSERT_NE(pspec, nullptr) << s.name;
        ASSERT_TRUE(G_IS_PARAM_SPEC_DOUBLE(pspec)) << s.name;
        EXPECT_STREQ(g_param_spec_get_nick(pspec), s.nick);
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->minimum, s.min) << s.name;
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->maximum, G_MAXDOUBLE) << s.name;
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->default_value, 0.0) << s.name;
        EXPECT_TRUE(pspec->flags & G_PARAM_WRITABLE) << s.name;
        g_type_class_unref(klass);
    }

    struct ArraySpec {
        GType type;
        const char *name;
        const char *nick;
        bool writable;
    };
    const ArraySpec arrays[] = {
        {KVRPROTO_TYPE_FRAME_GEN, "data", "Data payload", false},
        {KVRPROTO_TYPE_FRAME_V1, "raw", "Raw", false},
        {KVRPROTO_TYPE_FRAME_V1, "hmac", "Hmac", false},
        {KVRPROTO_TYPE_FRAME_V1_DLK, "hmac", "Hmac", true},
    };
    for (const ArraySpec &s : arrays) {
        auto *klass = static_cast<GObjectClass *>(g_type_class_ref(s.type));
        GParamSpec *pspec = g_object_class_find_property(klass, s.name);
        ASSERT_NE(pspec, nullptr) << s.name;
        EXPECT_EQ(G_PARAM_SPEC_VALUE_TYPE(pspec), G_TYPE_ARRAY) << s.name;
        EXPECT_STREQ(g_param_spec_get_nick(pspec), s.nick);
        EXPECT_EQ((pspec->flags & G_PARAM_WRITABLE) != 0, s.writable) << s.name;
        g_type_class_unref(klass);
    }
}
