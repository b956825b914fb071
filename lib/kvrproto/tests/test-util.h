/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Helpers shared by the protocol library tests.
#pragma once

#include <kvrproto/kvrproto.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct FrameDeleter {
    void operator()(kvrframe *frame) const { kvrproto_free_frame(frame); }
};
using FramePtr = std::unique_ptr<kvrframe, FrameDeleter>;

struct ErrorDeleter {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

struct GFreeDeleter {
    void operator()(gchar *text) const { g_free(text); }
};
using TextPtr = std::unique_ptr<gchar, GFreeDeleter>;

template <typename T> struct ObjectDeleter {
    void operator()(T *object) const { g_object_unref(object); }
};
template <typename T> using ObjectPtr = std::unique_ptr<T, ObjectDeleter<T>>;
using GenPtr = ObjectPtr<KvrprotoFrameGen>;

inline std::string take_text(gchar *text)
{
    TextPtr owned(text);
    return owned ? std::string(owned.get()) : std::string("(null)");
}

// Asserts that @error is in the library's domain with @code and @message.
inline ::testing::AssertionResult IsProtoError(const GError *error, int code,
                                               const std::string &message)
{
    if (!error)
        return ::testing::AssertionFailure() << "no error was set";
    if (error->domain != KVRPROTO_ERRDOM || error->code != code || message != error->message)
        return ::testing::AssertionFailure() << "got domain " << error->domain << " code "
                                             << error->code << " \"" << error->message << "\"";
    return ::testing::AssertionSuccess();
}

inline std::vector<guint8> array_bytes(const GArray *array)
{
    if (!array)
        return {};
    EXPECT_EQ(g_array_get_element_size(const_cast<GArray *>(array)), 1u);
    const auto *data = reinterpret_cast<const guint8 *>(array->data);
    return std::vector<guint8>(data, data + array->len);
}

// A byte-array property of @object.
inline std::vector<guint8> bytes_property(gpointer object, const char *name)
{
    GArray *array = nullptr;
    g_object_get(object, name, &array, nullptr);
    std::vector<guint8> bytes = array_bytes(array);
    if (array)
        g_array_unref(array);
    return bytes;
}

inline guint uint_property(gpointer object, const char *name)
{
    guint value = 0;
    g_object_get(object, name, &value, nullptr);
    return value;
}

inline gdouble double_property(gpointer object, const char *name)
{
    gdouble value = 0;
    g_object_get(object, name, &value, nullptr);
    return value;
}
