/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the card streams on 0x81: the counter pattern, a SigMF recording played in a
 * loop, or samples from a caller's function. */
#include "vekemu-private.h"

#include <cstring>

namespace vekemu
{

namespace
{

/* Sample n is the little-endian 32-bit word n: I = low half, Q = high half. A host that
 * loses, repeats or reorders bytes sees it at once. */
class CounterSource : public IqSource
{
  public:
    void fill(guint8 *buf, gsize len, guint64 offset) override
    {
        guint32 n = static_cast<guint32>(offset / BYTES_PER_SAMPLE);
        for (gsize i = 0; i + BYTES_PER_SAMPLE <= len; i += BYTES_PER_SAMPLE, n++) {
            buf[i] = n & 0xFF;
            buf[i + 1] = (n >> 8) & 0xFF;
            buf[i + 2] = (n >> 16) & 0xFF;
            buf[i + 3] = n >> 24;
        }
    }
};

class CallbackSource : public IqSource
{
  public:
    CallbackSource(VekemuIqSource fn, gpointer user_data) : fn_(fn), user_data_(user_data) {}
    void fill(guint8 *buf, gsize len, guint64 offset) override
    {
        fn_(buf, len, offset, user_data_);
    }

  private:
    VekemuIqSource fn_;
    gpointer user_data_;
};

class RecordingSource : public IqSource
{
  public:
    explicit RecordingSource(GMappedFile *file) : file_(file) {}
    ~RecordingSource() override { g_mapped_file_unref(file_); }
    void fill(guint8 *buf, gsize len, guint64 offset) override
    {
        const auto *data = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(file_));
        gsize size = g_mapped_file_get_length(file_);
        gsize pos = static_cast<gsize>(offset % size);
        while (len > 0) {
            gsize n = std::min(len, size - pos);
            memcpy(buf, data + pos, n);
            buf += n;
            len -= n;
            pos = 0;
        }
    }

  private:
    GMappedFile *file_;
};

std::string recording_base(const std::string &path)
{
    for (const char *ext : {".sigmf-data", ".sigmf-meta", ".sigmf"}) {
        if (g_str_has_suffix(path.c_str(), ext))
            return path.substr(0, path.size() - strlen(ext));
    }
    return path;
}

} // namespace

std::unique_ptr<IqSource> make_counter_source()
{
    return std::make_unique<CounterSource>();
}

std::unique_ptr<IqSource> make_callback_source(VekemuIqSource fn, gpointer user_data)
{
    return std::make_unique<CallbackSource>(fn, user_data);
}

std::unique_ptr<IqSource> make_sigmf_source(const std::string &path, GError **error)
{
    std::string base = recording_base(path);
    std::string meta = base + ".sigmf-meta";
    std::string data = base + ".sigmf-data";
    g_autofree gchar *meta_text = nullptr;
    if (g_file_get_contents(meta.c_str(), &meta_text, nullptr, nullptr) &&
        strstr(meta_text, "\"ci16_le\"") == nullptr) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                    "%s: the card streams ci16_le samples; the recording has another datatype",
                    meta.c_str());
        return nullptr;
    }
    GMappedFile *file = g_mapped_file_new(data.c_str(), FALSE, error);
    if (file == nullptr)
        return nullptr;
    gsize size = g_mapped_file_get_length(file);
    if (size == 0 || size % BYTES_PER_SAMPLE != 0) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                    "%s: %" G_GSIZE_FORMAT " bytes is not a whole, non-empty number of "
                    "ci16_le samples",
                    data.c_str(), size);
        g_mapped_file_unref(file);
        return nullptr;
    }
    return std::make_unique<RecordingSource>(file);
}

} // namespace vekemu
