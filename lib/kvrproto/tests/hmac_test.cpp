/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame authentication codes. The expected codes were computed outside this
// library with the OpenSSL command line over the cipher inputs written out
// below (AES-128-CBC, zero IV, no padding; the code is the start of the last
// cipher block):
//   printf '<input hex>' | xxd -r -p |
//     openssl enc -aes-128-cbc -nopad -K 2b7e151628aed2a6abf7158809cf4f3c -iv 0 | xxd -p
#include "test-util.h"

#include <cstring>

namespace
{

const guint8 kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                         0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

std::vector<guint8> from_hex(const std::string &hex)
{
    std::vector<guint8> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<guint8>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

template <typename T> struct ObjectDeleter {
    void operator()(T *object) const { g_object_unref(object); }
};
using V1Ptr = std::unique_ptr<KvrprotoFrameV1, ObjectDeleter<KvrprotoFrameV1>>;
using DlkPtr = std::unique_ptr<KvrprotoFrameV1Dlk, ObjectDeleter<KvrprotoFrameV1Dlk>>;

struct UplinkVector {
    guint payload_length; // payload bytes 0xA0, 0xA1, ...
    guint blocks;
    const char *input; // cipher input, for the record
    const char *code;
};

void PrintTo(const UplinkVector &v, std::ostream *os)
{
    *os << v.payload_length << "-byte payload, code " << v.code;
}

// Header: seq 0x567 (b0 low nibble 5, b1 0x67), tid 0x12345678; lg set by the payload rules.
const UplinkVector kUplinkVectors[] = {
    {0, 1, "05677856341205677856341205677856", "2b3c"},
    {1, 1, "056778563412a0056778563412a00567", "1211"},
    {3, 1, "456778563412a0a1a2456778563412a0", "c6c651"},
    {5, 1, "c56778563412a0a1a2a3a4c567785634", "438b66105c"},
    {9, 1, "c56778563412a0a1a2a3a4a5a6a7a8c5", "29128186a7"},
    {11, 2, "456778563412a0a1a2a3a4a5a6a7a8a9aa456778563412a0a1a2a3a4a5a6a7a8", "b61350"},
    {12, 2, "056778563412a0a1a2a3a4a5a6a7a8a9aaab056778563412a0a1a2a3a4a5a6a7", "c8a8"},
};

V1Ptr uplink_frame(guint payload_length)
{
    V1Ptr frame(kvrproto_frame_v1_new_with_options("seq", 0x567u, "tid", 0x12345678u, nullptr));
    std::vector<guint8> payload(payload_length);
    for (guint i = 0; i < payload_length; ++i)
        payload[i] = static_cast<guint8>(0xA0 + i);
    EXPECT_TRUE(kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(frame.get()), payload.data(),
                                               static_cast<guint8>(payload_length), nullptr));
    return frame;
}

kvrframe record_of(gpointer frame)
{
    FramePtr copy(kvrproto_frame_to_struct(KVRPROTO_FRAME_GEN(frame)));
    return *copy;
}

class UplinkCode : public ::testing::TestWithParam<UplinkVector>
{
};

} // namespace

TEST_P(UplinkCode, MatchesIndependentCipher)
{
    const UplinkVector &vector = GetParam();
    V1Ptr frame = uplink_frame(vector.payload_length);
    const kvrframe rec = record_of(frame.get());
    // The record's message is the start of the cipher input.
    const std::vector<guint8> input = from_hex(vector.input);
    ASSERT_EQ(input.size(), 16u * vector.blocks);
    EXPECT_EQ(memcmp(rec.f.v1.data, input.data(), 6 + vector.payload_length), 0);

    guint8 code[KVRPROTO_HMAC_MAX_LEN] = {};
    guint8 code_length = 0;
    GError *error = nullptr;
    ASSERT_TRUE(kvrproto_compute_hmac(&rec, kKey, 16, code, &code_length, &error));
    ErrorPtr owned(error);
    EXPECT_EQ(std::vector<guint8>(code, code + code_length), from_hex(vector.code));

    // The object form computes the same code and stores it right after the payload.
    guint8 object_code[KVRPROTO_HMAC_MAX_LEN] = {};
    guint8 object_length = 0;
    ASSERT_TRUE(kvrproto_frame_v1_compute_hmac(frame.get(), kKey, 16, object_code, &object_length,
                                               nullptr));
    EXPECT_EQ(object_length, code_length);
    ASSERT_TRUE(kvrproto_frame_v1_update_hmac(frame.get(), kKey, 16, nullptr));
    const kvrframe updated = record_of(frame.get());
    const guint position = 6 + vector.payload_length;
    EXPECT_EQ(memcmp(updated.f.v1.data + position, code, code_length), 0);
    EXPECT_EQ(position + code_length, updated.f.v1.data_s) << "the code fills the size class";
    EXPECT_EQ(bytes_property(frame.get(), "hmac"), from_hex(vector.code));
}

INSTANTIATE_TEST_SUITE_P(EverySizeClass, UplinkCode, ::testing::ValuesIn(kUplinkVectors),
                         [](const ::testing::TestParamInfo<UplinkVector> &info) {
                             return "Payload" + std::to_string(info.param.payload_length);
                         });

TEST(DownlinkCode, MatchesIndependentCipher)
{
    // Input: tid 78563412, seq bc0a, data 1122330000000000, tid again 7856.
    DlkPtr frame(
        kvrproto_frame_v1_dlk_new_with_options("tid", 0x12345678u, "seq", 0xABCu, nullptr));
    const guint8 payload[] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(
        kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(frame.get()), payload, 3, nullptr));
    guint8 code[KVRPROTO_HMAC_MAX_LEN] = {};
    guint8 code_length = 0;
    ASSERT_TRUE(
        kvrproto_frame_v1_dlk_compute_hmac(frame.get(), kKey, 16, code, &code_length, nullptr));
    EXPECT_EQ(std::vector<guint8>(code, code + code_length), from_hex("79ce"));

    ASSERT_TRUE(kvrproto_frame_v1_dlk_update_hmac(frame.get(), kKey, 16, nullptr));
    EXPECT_EQ(bytes_property(frame.get(), "hmac"), from_hex("79ce"));
    const kvrframe rec = record_of(frame.get());
    EXPECT_TRUE(kvrproto_check_hmac(&rec, kKey, 16, nullptr));
    EXPECT_EQ(take_text(kvrproto_to_string(&rec, nullptr)),
              "TXDATA_V1 0 0 0.00 0 0.00 0 2748 12345678 79CE 112233");
}

TEST(CodeCheck, UpdatedFrameChecksAndAnyChangeBreaksIt)
{
    for (guint length : {0u, 1u, 5u, 12u}) {
        V1Ptr frame = uplink_frame(length);
        ASSERT_TRUE(kvrproto_frame_v1_update_hmac(frame.get(), kKey, 16, nullptr));
        EXPECT_TRUE(kvrproto_frame_v1_check_hmac(frame.get(), kKey, 16, nullptr));

        kvrframe rec = record_of(frame.get());
        rec.f.v1.data[length > 0 ? 6 : 1] ^= 0x01;
        GError *error = nullptr;
        EXPECT_FALSE(kvrproto_check_hmac(&rec, kKey, 16, &error)) << "length " << length;
        EXPECT_EQ(error, nullptr) << "a mismatch is not an error";
        g_clear_error(&error);

        guint8 other_key[16];
        memcpy(other_key, kKey, 16);
        other_key[15] ^= 0x80;
        EXPECT_FALSE(kvrproto_frame_v1_check_hmac(frame.get(), other_key, 16, nullptr));
    }
}

TEST(CodeCheck, ParsedLineChecks)
{
    // The 5-byte frame of the vectors, as the wrapper reads it off the air.
    GError *error = nullptr;
    kvrframe *frame = nullptr;
    ASSERT_TRUE(kvrproto_fdata_parse("FDATA_V1 0 22 0 C56778563412A0A1A2A3A4438B66105C 1 2 3 4",
                                     &frame, &error));
    FramePtr owned(frame);
    EXPECT_TRUE(kvrproto_check_hmac(frame, kKey, 16, &error));
    EXPECT_EQ(error, nullptr);
}

TEST(CodeErrors, RecordsWithoutCode)
{
    kvrframe rec = {};
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 9;
    for (guint8 v : {guint8{0}, guint8{KVRPROTO_VERSION_V0}, guint8{0x43}}) {
        rec.v = v;
        GError *error = nullptr;
        EXPECT_FALSE(kvrproto_compute_hmac(&rec, kKey, 16, code, &code_length, &error));
        ErrorPtr owned(error);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code, KVRPROTO_ERR_UNKNOWN_VERSION);
        EXPECT_FALSE(kvrproto_check_hmac(&rec, kKey, 16, nullptr));
    }

    // An incoherent uplink record would put the message outside its data.
    rec = {};
    rec.v = KVRPROTO_VERSION_V1;
    rec.f.v1.data_s = 60;
    GError *error = nullptr;
    EXPECT_FALSE(kvrproto_compute_hmac(&rec, kKey, 16, code, &code_length, &error));
    ErrorPtr owned(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "unsupported payload length 60"));
    rec.f.v1.data_s = 0;
    error = nullptr;
    EXPECT_FALSE(kvrproto_check_hmac(&rec, kKey, 16, &error));
    owned.reset(error);
    EXPECT_TRUE(
        IsProtoError(error, KVRPROTO_ERR_BADLENGTH_PAYLOAD, "incoherent payload length -8"));
}

TEST(CodeErrors, ShortOrMissingKey)
{
    V1Ptr frame = uplink_frame(2);
    const kvrframe rec = record_of(frame.get());
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    GError *error = nullptr;
    EXPECT_FALSE(kvrproto_compute_hmac(&rec, kKey, 8, code, &code_length, &error));
    ErrorPtr owned(error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRPROTO_ERR);
    error = nullptr;
    EXPECT_FALSE(kvrproto_compute_hmac(&rec, nullptr, 16, code, &code_length, &error));
    owned.reset(error);
    ASSERT_NE(error, nullptr);
    // A longer key buffer is fine: only its first 16 bytes are used.
    guint8 long_key[32] = {};
    memcpy(long_key, kKey, 16);
    guint8 expected[KVRPROTO_HMAC_MAX_LEN];
    guint8 expected_length = 0;
    ASSERT_TRUE(kvrproto_compute_hmac(&rec, kKey, 16, expected, &expected_length, nullptr));
    ASSERT_TRUE(kvrproto_compute_hmac(&rec, long_key, 32, code, &code_length, nullptr));
    EXPECT_EQ(memcmp(code, expected, code_length), 0);
}
