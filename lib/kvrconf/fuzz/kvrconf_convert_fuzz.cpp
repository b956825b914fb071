/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Fuzz target over the strict string conversions. The first byte picks the
// base (8, 10, 16 or an unsupported one); the rest is the text. A failure must
// give 0 and a G_CONVERT_ERROR, a success no error; the narrow conversions must
// agree with the wide ones they are cut from, and hexadecimal that decodes must
// print back to the same digits.
#include <kvrconf/kvrconf.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

template <typename T> void check_result(T value, GError *error)
{
    if (error != nullptr && (value != 0 || error->domain != G_CONVERT_ERROR))
        abort(); // a failure gives 0 and says why
}

void check_hex(const char *text)
{
    guint8 data[16];
    guint32 size = 99;
    GError *error = nullptr;
    const gboolean ok = kvrConvertStrToHex(data, text, sizeof(data), &size, &error);
    if (!ok) {
        if (error == nullptr || size != 0)
            abort();
        for (guint8 byte : data)
            if (byte != 0)
                abort(); // a failure leaves nothing behind
        g_error_free(error);
        return;
    }
    if (error != nullptr || size > sizeof(data))
        abort();
    if (std::string(text) == "-")
        return;
    for (guint32 i = 0; i < size; i++) {
        char digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", data[i]);
        if (g_ascii_strncasecmp(digits, text + 2 * i, 2) != 0)
            abort(); // the bytes decoded are the digits read
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    static const guint kBases[] = {8, 10, 16, 2};
    const guint base = kBases[bytes[0] % 4];
    const std::string text(reinterpret_cast<const char *>(bytes + 1), size - 1);
    const char *str = text.c_str();

    GError *wide_error = nullptr;
    const gint64 wide = kvrConvertStrToInt64(str, base, &wide_error);
    check_result(wide, wide_error);
    GError *error = nullptr;
    const gint32 narrow = kvrConvertStrToInt(str, base, &error);
    check_result(narrow, error);
    if ((error == nullptr) != (wide_error == nullptr) ||
        (error == nullptr && narrow != static_cast<gint32>(static_cast<guint32>(wide))))
        abort();
    g_clear_error(&error);
    g_clear_error(&wide_error);

    const guint64 uwide = kvrConvertStrToUint64(str, base, &wide_error);
    check_result(uwide, wide_error);
    const guint32 unarrow = kvrConvertStrToUint(str, base, &error);
    check_result(unarrow, error);
    // Both read a text without a minus sign with the same unsigned parser; a
    // negative one that overflows saturates differently in each, by design.
    if (error == nullptr && wide_error == nullptr && strchr(str, '-') == nullptr &&
        unarrow != static_cast<guint32>(uwide))
        abort();
    g_clear_error(&error);
    g_clear_error(&wide_error);

    check_result(kvrConvertStrToDouble(str, &error), error);
    g_clear_error(&error);
    check_hex(str);
    return 0;
}
