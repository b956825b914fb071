/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Reading and writing the blank-separated fields of the frame text lines,
// independently of the process locale and without allocating.
#pragma once

#include <glib.h>

#include <cstddef>
#include <string_view>

namespace kvrproto
{

// Splits a line into fields separated by runs of white space.
class FieldReader
{
  public:
    explicit FieldReader(const char *text) : next_(text) {}
    // The next field; FALSE at the end of the line.
    bool next(std::string_view &field);

  private:
    const char *next_;
};

// Converts fields one after the other and counts the successful
// conversions, stopping at the first field that is missing or does not
// convert, as a scanf-style reader does.
class FieldConversions
{
  public:
    explicit FieldConversions(const char *text) : reader_(text) {}

    template <typename Convert> FieldConversions &then(Convert convert)
    {
        std::string_view field;
        if (ok_ && reader_.next(field) && convert(field))
            ++count_;
        else
            ok_ = false;
        return *this;
    }
    // Takes any field as it stands, as a "%s" conversion does.
    FieldConversions &text(std::string_view &out)
    {
        return then([&out](std::string_view field) {
            out = field;
            return true;
        });
    }
    // Matches a literal field, which does not count as a conversion.
    FieldConversions &literal(std::string_view expected)
    {
        std::string_view field;
        if (!ok_ || !reader_.next(field) || field != expected)
            ok_ = false;
        return *this;
    }
    bool complete() const { return ok_; }
    int count() const { return count_; }

  private:
    FieldReader reader_;
    int count_ = 0;
    bool ok_ = true;
};

bool starts_with(const char *line, std::string_view prefix);

// Whole-field conversions; each fails on any character that is not part of
// the number and on values beyond @max.
bool parse_decimal(std::string_view field, guint64 max, guint64 &value);
bool parse_signed(std::string_view field, gint64 min, gint64 max, gint64 &value);
// A hexadecimal number, with or without "0x"; @max_digits, when not 0,
// bounds the digits as a scanf field width does.
bool parse_hex(std::string_view field, guint64 max, guint max_digits, guint64 &value);
// An unsigned 64-bit decimal; a leading minus sign gives the two's-complement
// pattern, as the signed time values of the producers are written.
bool parse_timestamp(std::string_view field, gint64 &value);
bool parse_float(std::string_view field, gfloat &value);

// Builds one line in a fixed buffer.
class LineWriter
{
  public:
    void put(std::string_view text);
    void put_char(char c);
    void put_decimal(guint64 value);
    void put_signed(gint64 value);
    void put_hex(guint64 value, bool upper);
    void put_hex_bytes(const guint8 *bytes, guint count, bool upper);
    // As printf "%<width>.<precision>f" in the "C" locale.
    void put_fixed(double value, int precision, int width = 0);
    // A new string holding the line, or NULL if it did not fit.
    gchar *release() const;

  private:
    bool reserve(std::size_t count);
    char buffer_[512];
    std::size_t length_ = 0;
    bool overflow_ = false;
};

} // namespace kvrproto
