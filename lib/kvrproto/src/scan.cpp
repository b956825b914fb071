/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Field conversions of the frame text lines. Every number is read and
// written with the "C" conventions whatever the process locale says, so a
// line written by one program reads back the same in any other.
#include "scan.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kvrproto
{

namespace
{

// The blanks of the "C" locale; the terminating NUL is neither blank nor
// part of a field, and both loops below stop on it.
struct BlankTable {
    bool blank[256] = {};
    constexpr BlankTable()
    {
        for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
            blank[c] = true;
    }
};
constexpr BlankTable kBlanks;

inline bool is_blank(char c)
{
    return kBlanks.blank[static_cast<unsigned char>(c)];
}

template <typename T> bool parse_whole(std::string_view field, T &value, int base)
{
    if (field.empty())
        return false;
    const char *end = field.data() + field.size();
    auto [ptr, ec] = std::from_chars(field.data(), end, value, base);
    return ec == std::errc() && ptr == end;
}

std::string_view drop_plus(std::string_view field)
{
    if (field.size() > 1 && field.front() == '+')
        field.remove_prefix(1);
    return field;
}

} // namespace

bool FieldReader::next(std::string_view &field)
{
    const char *p = next_;
    while (is_blank(*p))
        ++p;
    if (!*p) {
        next_ = p;
        return false;
    }
    const char *start = p;
    while (*p && !is_blank(*p))
        ++p;
    field = std::string_view(start, static_cast<std::size_t>(p - start));
    next_ = p;
    return true;
}

bool parse_decimal(std::string_view field, guint64 max, guint64 &value)
{
    field = drop_plus(field);
    // from_chars would take a second sign or none at all; allow digits only.
    if (field.empty() || field.front() < '0' || field.front() > '9')
        return false;
    guint64 parsed = 0;
    if (!parse_whole(field, parsed, 10) || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parse_signed(std::string_view field, gint64 min, gint64 max, gint64 &value)
{
    field = drop_plus(field);
    if (field.empty() || field.front() == '+')
        return false;
    gint64 parsed = 0;
    if (!parse_whole(field, parsed, 10) || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parse_hex(std::string_view field, guint64 max, guint max_digits, guint64 &value)
{
    if (field.size() > 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X'))
        field.remove_prefix(2);
    if (field.empty() || (max_digits > 0 && field.size() > max_digits) ||
        !g_ascii_isxdigit(field.front()))
        return false;
    guint64 parsed = 0;
    if (!parse_whole(field, parsed, 16) || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parse_timestamp(std::string_view field, gint64 &value)
{
    guint64 magnitude = 0;
    if (!field.empty() && field.front() == '-') {
        field.remove_prefix(1);
        constexpr guint64 kMostNegative = guint64{1} << 63;
        if (field.empty() || field.front() < '0' || field.front() > '9' ||
            !parse_whole(field, magnitude, 10) || magnitude > kMostNegative)
            return false;
        value = static_cast<gint64>(0 - magnitude);
        return true;
    }
    if (!parse_decimal(field, std::numeric_limits<guint64>::max(), magnitude))
        return false;
    value = static_cast<gint64>(magnitude);
    return true;
}

bool parse_float(std::string_view field, gfloat &value)
{
    field = drop_plus(field);
    if (field.empty() || field.front() == '+')
        return false;
    const char *end = field.data() + field.size();
    gfloat parsed = 0;
    auto [ptr, ec] = std::from_chars(field.data(), end, parsed);
    if (ptr != end)
        return false;
    if (ec == std::errc::result_out_of_range) {
        // The whole field is a well-formed number beyond the float range.
        // Too small reads as the nearest float (zero or a denormal); too
        // large is not a value this record can hold. The field is followed
        // by a blank or the end of the line, where the reading stops.
        const double wide = g_ascii_strtod(field.data(), nullptr);
        if (!(std::fabs(wide) < 1.0))
            return false;
        parsed = static_cast<gfloat>(wide);
    } else if (ec != std::errc()) {
        return false;
    }
    value = parsed;
    return true;
}

bool LineWriter::reserve(std::size_t count)
{
    if (overflow_ || count > sizeof(buffer_) - length_) {
        overflow_ = true;
        return false;
    }
    return true;
}

void LineWriter::put(std::string_view text)
{
    if (!reserve(text.size()))
        return;
    memcpy(buffer_ + length_, text.data(), text.size());
    length_ += text.size();
}

void LineWriter::put_char(char c)
{
    if (!reserve(1))
        return;
    buffer_[length_++] = c;
}

void LineWriter::put_decimal(guint64 value)
{
    char digits[24];
    auto [ptr, ec] = std::to_chars(digits, digits + sizeof(digits), value);
    put(std::string_view(digits, static_cast<std::size_t>(ptr - digits)));
}

void LineWriter::put_signed(gint64 value)
{
    char digits[24];
    auto [ptr, ec] = std::to_chars(digits, digits + sizeof(digits), value);
    put(std::string_view(digits, static_cast<std::size_t>(ptr - digits)));
}

void LineWriter::put_hex(guint64 value, bool upper)
{
    char digits[24];
    auto [ptr, ec] = std::to_chars(digits, digits + sizeof(digits), value, 16);
    if (upper)
        for (char *p = digits; p < ptr; ++p)
            *p = g_ascii_toupper(*p);
    put(std::string_view(digits, static_cast<std::size_t>(ptr - digits)));
}

void LineWriter::put_hex_bytes(const guint8 *bytes, guint count, bool upper)
{
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char *digits = upper ? kUpper : kLower;
    if (!reserve(2 * std::size_t{count}))
        return;
    for (guint i = 0; i < count; ++i) {
        buffer_[length_++] = digits[bytes[i] >> 4];
        buffer_[length_++] = digits[bytes[i] & 0xF];
    }
}

void LineWriter::put_fixed(double value, int precision, int width)
{
    // A float printed in full takes at most 39 integer digits.
    char digits[400];
    auto [ptr, ec] =
        std::to_chars(digits, digits + sizeof(digits), value, std::chars_format::fixed, precision);
    if (ec != std::errc()) {
        overflow_ = true;
        return;
    }
    const auto length = static_cast<int>(ptr - digits);
    for (int pad = length; pad < width; ++pad)
        put_char(' ');
    put(std::string_view(digits, static_cast<std::size_t>(length)));
}

gchar *LineWriter::release() const
{
    if (overflow_)
        return nullptr;
    return g_strndup(buffer_, length_);
}

} // namespace kvrproto

namespace kvrproto
{

bool starts_with(const char *line, std::string_view prefix)
{
    return strncmp(line, prefix.data(), prefix.size()) == 0;
}

} // namespace kvrproto
