/* SPDX-License-Identifier: GPL-2.0-or-later */
/* SigMF recordings: ci16_le samples plus a JSON description carrying the truth. */
#include "vekgen/vekgen.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>
#include <json-glib/json-glib.h>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr gsize kIoChunk = 65536;
constexpr const gchar *kNs = "vekgen:";
/* A description of some 20000 frames; json-glib needs several times that in memory. */
constexpr gsize kMaxMetaBytes = 16 * 1024 * 1024;
/* A recording description nests four levels deep; json-glib parses nested values
 * recursively, so a deep nesting would exhaust the stack. */
constexpr int kMaxMetaDepth = 64;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

gchar *base_of(const gchar *path)
{
    for (const gchar *ext : {".sigmf-meta", ".sigmf-data", ".sigmf"}) {
        if (g_str_has_suffix(path, ext))
            return g_strndup(path, strlen(path) - strlen(ext));
    }
    return g_strdup(path);
}

std::string key(const gchar *name)
{
    return std::string(kNs) + name;
}

/* The device's errors of a frame, annotated where they are set. */
const struct {
    const gchar *name;
    gdouble VekgenFrame::*value;
} kDeviceErrors[] = {{"drift_hz_per_s", &VekgenFrame::drift_hz_per_s},
                     {"step_hz", &VekgenFrame::step_hz},
                     {"step_at", &VekgenFrame::step_at},
                     {"clock_ppm", &VekgenFrame::clock_ppm}};

void add_frame_annotation(JsonBuilder *b, const VekgenFrame *f, guint64 origin)
{
    const VekgenFrameType *type = vekgen_frame_get_type(f);
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "core:sample_start");
    json_builder_add_int_value(b, static_cast<gint64>(f->start_sample - origin));
    json_builder_set_member_name(b, "core:sample_count");
    json_builder_add_int_value(b,
                               static_cast<gint64>(vekgen_frame_end_sample(f) - f->start_sample));
    json_builder_set_member_name(b, "core:freq_lower_edge");
    json_builder_add_double_value(b, f->offset_hz - f->bit_rate);
    json_builder_set_member_name(b, "core:freq_upper_edge");
    json_builder_add_double_value(b, f->offset_hz + f->bit_rate);
    g_autofree gchar *label =
        g_strdup_printf("uplink 0x%03X len %u rep %u%s %u bit/s", type->pattern, f->covered_len,
                        f->repetition, f->oob ? " oob" : "", f->bit_rate);
    json_builder_set_member_name(b, "core:label");
    json_builder_add_string_value(b, label);
    json_builder_set_member_name(b, key("pattern").c_str());
    json_builder_add_int_value(b, type->pattern);
    json_builder_set_member_name(b, key("covered_length").c_str());
    json_builder_add_int_value(b, f->covered_len);
    json_builder_set_member_name(b, key("repetition").c_str());
    json_builder_add_int_value(b, f->repetition);
    json_builder_set_member_name(b, key("oob").c_str());
    json_builder_add_boolean_value(b, f->oob);
    gchar hex[2 * VEKGEN_MAX_COVERED + 1] = {};
    for (guint i = 0; i < f->covered_len; i++)
        g_snprintf(hex + 2 * i, 3, "%02x", f->bytes[i]);
    json_builder_set_member_name(b, key("bytes").c_str());
    json_builder_add_string_value(b, hex);
    json_builder_set_member_name(b, key("offset_hz").c_str());
    json_builder_add_double_value(b, f->offset_hz);
    json_builder_set_member_name(b, key("power_db").c_str());
    json_builder_add_double_value(b, f->power_db);
    json_builder_set_member_name(b, key("bit_rate").c_str());
    json_builder_add_int_value(b, f->bit_rate);
    json_builder_set_member_name(b, key("inverted").c_str());
    json_builder_add_boolean_value(b, f->inverted);
    json_builder_set_member_name(b, key("phase").c_str());
    json_builder_add_double_value(b, f->phase);
    json_builder_set_member_name(b, key("tid").c_str());
    json_builder_add_int_value(b, vekgen_frame_expected_tid(f));
    json_builder_set_member_name(b, key("ack").c_str());
    json_builder_add_boolean_value(b, vekgen_frame_expected_ack(f));
    if (f->message != 0) {
        json_builder_set_member_name(b, key("message").c_str());
        json_builder_add_int_value(b, f->message);
    }
    if (f->uplink) {
        json_builder_set_member_name(b, key("device_id").c_str());
        json_builder_add_int_value(b, f->device_id);
        json_builder_set_member_name(b, key("seq").c_str());
        json_builder_add_int_value(b, f->seq);
        json_builder_set_member_name(b, key("authentic").c_str());
        json_builder_add_boolean_value(b, !f->forged);
    }
    for (const auto &d : kDeviceErrors) {
        if (std::isnan(f->*d.value))
            continue;
        json_builder_set_member_name(b, key(d.name).c_str());
        json_builder_add_double_value(b, f->*d.value);
    }
    json_builder_end_object(b);
}

gchar *meta_text(VekgenSignal *signal, guint64 origin, guint64 n_samples)
{
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "global");
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "core:datatype");
    json_builder_add_string_value(b, "ci16_le");
    json_builder_set_member_name(b, "core:sample_rate");
    json_builder_add_int_value(b, VEKGEN_SAMPLE_RATE);
    json_builder_set_member_name(b, "core:version");
    json_builder_add_string_value(b, "1.0.0");
    json_builder_set_member_name(b, "core:num_channels");
    json_builder_add_int_value(b, 1);
    json_builder_set_member_name(b, "core:recorder");
    json_builder_add_string_value(b, "vekgen");
    json_builder_set_member_name(b, "core:description");
    json_builder_add_string_value(b, "Generated VEK card uplink I/Q with the truth of each frame");
    json_builder_set_member_name(b, "core:extensions");
    json_builder_begin_array(b);
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "name");
    json_builder_add_string_value(b, "vekgen");
    json_builder_set_member_name(b, "version");
    json_builder_add_string_value(b, "1.0.0");
    json_builder_set_member_name(b, "optional");
    json_builder_add_boolean_value(b, TRUE);
    json_builder_end_object(b);
    json_builder_end_array(b);
    json_builder_set_member_name(b, key("seed").c_str());
    json_builder_add_int_value(b, static_cast<gint64>(vekgen_signal_get_seed(signal)));
    const gdouble noise = vekgen_signal_get_noise_db(signal);
    if (noise >= -200.0) {
        json_builder_set_member_name(b, key("noise_db").c_str());
        json_builder_add_double_value(b, noise);
    }
    const VekgenImpairments *impairments = vekgen_signal_get_impairments(signal);
    if (impairments != nullptr && !vekgen_impairments_is_empty(impairments)) {
        g_autofree gchar *text = vekgen_impairments_to_string(impairments);
        json_builder_set_member_name(b, key("impairments").c_str());
        json_builder_add_string_value(b, text);
    }
    json_builder_end_object(b);

    json_builder_set_member_name(b, "captures");
    json_builder_begin_array(b);
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "core:sample_start");
    json_builder_add_int_value(b, 0);
    json_builder_end_object(b);
    json_builder_end_array(b);

    json_builder_set_member_name(b, "annotations");
    json_builder_begin_array(b);
    guint n_frames = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n_frames);
    for (guint i = 0; i < n_frames; i++) {
        if (vekgen_recording_holds_frame(&frames[i], origin, n_samples))
            add_frame_annotation(b, &frames[i], origin);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);

    g_autoptr(JsonGenerator) gen = json_generator_new();
    g_autoptr(JsonNode) root = json_builder_get_root(b);
    json_generator_set_root(gen, root);
    json_generator_set_pretty(gen, TRUE);
    return json_generator_to_data(gen, nullptr);
}

bool get_int(JsonObject *o, const gchar *name, gint64 min, gint64 max, gint64 *out)
{
    JsonNode *n = json_object_get_member(o, name);
    if (n == nullptr || json_node_get_value_type(n) != G_TYPE_INT64)
        return false;
    gint64 v = json_node_get_int(n);
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool get_double(JsonObject *o, const gchar *name, gdouble *out)
{
    JsonNode *n = json_object_get_member(o, name);
    if (n == nullptr || !JSON_NODE_HOLDS_VALUE(n))
        return false;
    GType t = json_node_get_value_type(n);
    if (t != G_TYPE_INT64 && t != G_TYPE_DOUBLE)
        return false;
    *out = json_node_get_double(n);
    return std::isfinite(*out);
}

bool get_bool(JsonObject *o, const gchar *name, gboolean *out)
{
    JsonNode *n = json_object_get_member(o, name);
    if (n == nullptr || json_node_get_value_type(n) != G_TYPE_BOOLEAN)
        return false;
    *out = json_node_get_boolean(n);
    return true;
}

bool frame_from_annotation(JsonObject *o, VekgenFrame *f, GError **error)
{
    vekgen_frame_init(f);
    gint64 start = 0, len = 0, rep = 0, rate = 0;
    const gchar *hex = nullptr;
    JsonNode *hex_node = json_object_get_member(o, key("bytes").c_str());
    if (hex_node != nullptr && json_node_get_value_type(hex_node) == G_TYPE_STRING)
        hex = json_node_get_string(hex_node);
    if (!get_int(o, "core:sample_start", 0, G_MAXINT64 / 4, &start) ||
        !get_int(o, key("covered_length").c_str(), 0, VEKGEN_MAX_COVERED, &len) ||
        !get_int(o, key("repetition").c_str(), 0, 3, &rep) ||
        !get_int(o, key("bit_rate").c_str(), 0, 1000, &rate) ||
        !get_bool(o, key("oob").c_str(), &f->oob) ||
        !get_double(o, key("offset_hz").c_str(), &f->offset_hz) ||
        !get_double(o, key("power_db").c_str(), &f->power_db) || hex == nullptr) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "annotation lacks a field of the frame truth or has a wrong type");
        return false;
    }
    f->start_sample = static_cast<guint64>(start);
    f->covered_len = static_cast<guint8>(len);
    f->repetition = static_cast<guint8>(rep);
    f->bit_rate = static_cast<guint>(rate);
    get_bool(o, key("inverted").c_str(), &f->inverted);
    get_double(o, key("phase").c_str(), &f->phase);
    gint64 message = 0;
    if (get_int(o, key("message").c_str(), 1, G_MAXUINT32, &message))
        f->message = static_cast<guint>(message);
    gint64 device_id = 0, seq = 0;
    gboolean authentic = TRUE;
    if (get_int(o, key("device_id").c_str(), 0, G_MAXUINT32, &device_id) &&
        get_int(o, key("seq").c_str(), 0, 4095, &seq) &&
        get_bool(o, key("authentic").c_str(), &authentic)) {
        f->uplink = TRUE;
        f->device_id = static_cast<guint32>(device_id);
        f->seq = static_cast<guint16>(seq);
        f->forged = !authentic;
    }
    for (const auto &d : kDeviceErrors)
        get_double(o, key(d.name).c_str(), &(f->*d.value));
    if (strlen(hex) != 2u * f->covered_len) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "annotation bytes '%s' do not hold %u bytes", hex, f->covered_len);
        return false;
    }
    for (guint i = 0; i < f->covered_len; i++) {
        gint hi = g_ascii_xdigit_value(hex[2 * i]), lo = g_ascii_xdigit_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                        "annotation bytes '%s' are not hexadecimal", hex);
            return false;
        }
        f->bytes[i] = static_cast<guint8>(hi * 16 + lo);
    }
    return vekgen_frame_check(f, error) != FALSE;
}

} // namespace

namespace
{

bool write_samples(const gchar *data_path, VekgenSignal *signal, guint64 n_samples, GError **error)
{
    FilePtr out(g_fopen(data_path, "wb"));
    if (!out) {
        int saved = errno;
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot create %s: %s", data_path,
                    g_strerror(saved));
        return false;
    }
    std::vector<gint16> chunk(2 * kIoChunk);
    while (n_samples > 0) {
        const gsize n = static_cast<gsize>(MIN(n_samples, guint64{kIoChunk}));
        vekgen_signal_fill(signal, chunk.data(), n);
        for (gsize i = 0; i < 2 * n; i++)
            chunk[i] = GINT16_TO_LE(chunk[i]);
        if (fwrite(chunk.data(), 4, n, out.get()) != n) {
            int saved = errno;
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot write %s: %s", data_path,
                        g_strerror(saved));
            return false;
        }
        n_samples -= n;
    }
    if (fclose(out.release()) != 0) {
        int saved = errno;
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot write %s: %s", data_path,
                    g_strerror(saved));
        return false;
    }
    return true;
}

/* Removes both files of a recording unless it was completed: half a recording would
 * pass for a whole one with fewer samples. */
class UnlessCompleted
{
  public:
    UnlessCompleted(const gchar *meta_path, const gchar *data_path)
        : meta_path_(meta_path), data_path_(data_path)
    {
    }
    ~UnlessCompleted()
    {
        if (completed_)
            return;
        g_remove(data_path_);
        g_remove(meta_path_);
    }
    UnlessCompleted(const UnlessCompleted &) = delete;
    UnlessCompleted &operator=(const UnlessCompleted &) = delete;
    void complete() { completed_ = true; }

  private:
    const gchar *meta_path_;
    const gchar *data_path_;
    bool completed_ = false;
};

gboolean recording_write(const gchar *base, VekgenSignal *signal, guint64 n_samples, GError **error)
{
    const guint64 origin = vekgen_signal_get_position(signal);
    if (n_samples == 0) {
        const guint64 end = vekgen_signal_get_end(signal);
        n_samples = end > origin ? end - origin : 0;
    }
    g_autofree gchar *stem = base_of(base);
    g_autofree gchar *data_path = g_strconcat(stem, ".sigmf-data", nullptr);
    g_autofree gchar *meta_path = g_strconcat(stem, ".sigmf-meta", nullptr);

    g_autofree gchar *meta = meta_text(signal, origin, n_samples);
    if (strlen(meta) > kMaxMetaBytes) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "cannot write %s: the description of so many frames would exceed %zu MiB",
                    meta_path, kMaxMetaBytes >> 20);
        return FALSE;
    }
    if (!g_file_set_contents(meta_path, meta, -1, error)) {
        g_prefix_error(error, "cannot write %s: ", meta_path);
        return FALSE;
    }
    UnlessCompleted guard(meta_path, data_path);
    if (!write_samples(data_path, signal, n_samples, error))
        return FALSE;
    guard.complete();
    return TRUE;
}

} // namespace

gboolean vekgen_recording_holds_frame(const VekgenFrame *frame, guint64 origin, guint64 n_samples)
{
    return frame->start_sample >= origin && vekgen_frame_end_sample(frame) - origin <= n_samples;
}

gboolean vekgen_recording_write(const gchar *base, VekgenSignal *signal, guint64 n_samples,
                                GError **error)
{
    try {
        return recording_write(base, signal, n_samples, error);
    } catch (const std::exception &e) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot write %s: %s", base, e.what());
        return FALSE;
    }
}

struct _VekgenRecording {
    FilePtr data;
    gchar *data_path = nullptr;
    guint sample_rate = 0;
    guint64 n_samples = 0;
    guint64 position = 0; /* samples read since the start */
    std::vector<VekgenFrame> frames;
    ~_VekgenRecording() { g_free(data_path); }
};

namespace
{

/* Opens @path for reading if it is a regular file: a device or a link to one would
 * never end, and a FIFO would block the open (hence O_NONBLOCK, which a regular file
 * ignores). Returns the descriptor and its status, or -1 with the error set. */
int open_regular(const gchar *path, GStatBuf *st, GError **error)
{
    const int fd = g_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0 || fstat(fd, st) != 0) {
        int saved = errno;
        if (fd >= 0)
            close(fd);
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot open %s: %s", path,
                    g_strerror(saved));
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        close(fd);
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "%s is not a regular file", path);
        return -1;
    }
    return fd;
}

/* Where the nesting of the JSON @text first goes deeper than @max_depth, or -1. */
gssize too_deep_at(const std::string &text, int max_depth)
{
    int depth = 0;
    bool in_string = false, escaped = false;
    for (gsize i = 0; i < text.size(); i++) {
        const char ch = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (ch == '\\')
                escaped = true;
            else if (ch == '"')
                in_string = false;
        } else if (ch == '"') {
            in_string = true;
        } else if (ch == '[' || ch == '{') {
            if (++depth > max_depth)
                return static_cast<gssize>(i);
        } else if (ch == ']' || ch == '}') {
            depth--;
        }
    }
    return -1;
}

/* Reads the recording description, refusing what json-glib should not be given:
 * something other than a regular file, more than kMaxMetaBytes, or a nesting deeper
 * than kMaxMetaDepth. */
bool load_meta(JsonParser *parser, const gchar *meta_path, GError **error)
{
    GStatBuf st;
    const int fd = open_regular(meta_path, &st, error);
    if (fd < 0)
        return false;
    FilePtr file(fdopen(fd, "rb"));
    if (!file) {
        close(fd);
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot read %s: %s", meta_path,
                    g_strerror(errno));
        return false;
    }
    if (static_cast<guint64>(st.st_size) > kMaxMetaBytes) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "%s holds %lld bytes, more than the %zu MiB a recording description may have",
                    meta_path, static_cast<long long>(st.st_size), kMaxMetaBytes >> 20);
        return false;
    }
    std::string text(static_cast<gsize>(st.st_size), '\0');
    text.resize(fread(text.data(), 1, text.size(), file.get()));
    if (ferror(file.get())) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot read %s: %s", meta_path,
                    g_strerror(errno));
        return false;
    }
    const gssize deep = too_deep_at(text, kMaxMetaDepth);
    if (deep >= 0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "%s nests deeper than %d levels (at byte %zd)", meta_path, kMaxMetaDepth, deep);
        return false;
    }
    if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()), error)) {
        g_prefix_error(error, "cannot read %s: ", meta_path);
        return false;
    }
    return true;
}

VekgenRecording *recording_open(const gchar *base, GError **error)
{
    g_autofree gchar *stem = base_of(base);
    g_autofree gchar *meta_path = g_strconcat(stem, ".sigmf-meta", nullptr);
    auto rec = std::make_unique<_VekgenRecording>();
    rec->data_path = g_strconcat(stem, ".sigmf-data", nullptr);

    g_autoptr(JsonParser) parser = json_parser_new();
    if (!load_meta(parser, meta_path, error))
        return nullptr;
    JsonNode *root = json_parser_get_root(parser);
    JsonObject *global = nullptr;
    if (root != nullptr && JSON_NODE_HOLDS_OBJECT(root)) {
        JsonNode *g = json_object_get_member(json_node_get_object(root), "global");
        if (g != nullptr && JSON_NODE_HOLDS_OBJECT(g))
            global = json_node_get_object(g);
    }
    if (global == nullptr) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "%s has no \"global\" object",
                    meta_path);
        return nullptr;
    }
    JsonNode *dt = json_object_get_member(global, "core:datatype");
    if (dt == nullptr || json_node_get_value_type(dt) != G_TYPE_STRING ||
        !g_str_equal(json_node_get_string(dt), "ci16_le")) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "%s: core:datatype is not \"ci16_le\"",
                    meta_path);
        return nullptr;
    }
    gdouble rate = 0.0;
    if (!get_double(global, "core:sample_rate", &rate) || rate < 1.0 || rate > 1e9) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "%s: core:sample_rate is missing or out of range", meta_path);
        return nullptr;
    }
    rec->sample_rate = static_cast<guint>(std::lround(rate));

    JsonObject *top = json_node_get_object(root);
    JsonNode *ann = json_object_get_member(top, "annotations");
    if (ann != nullptr && JSON_NODE_HOLDS_ARRAY(ann)) {
        JsonArray *arr = json_node_get_array(ann);
        for (guint i = 0; i < json_array_get_length(arr); i++) {
            JsonNode *item = json_array_get_element(arr, i);
            if (!JSON_NODE_HOLDS_OBJECT(item))
                continue;
            JsonObject *o = json_node_get_object(item);
            /* Annotations of other tools carry no frame truth. */
            if (!json_object_has_member(o, key("covered_length").c_str()))
                continue;
            VekgenFrame f;
            if (!frame_from_annotation(o, &f, error)) {
                g_prefix_error(error, "%s: annotation %u: ", meta_path, i);
                return nullptr;
            }
            rec->frames.push_back(f);
        }
    }

    GStatBuf st;
    const int fd = open_regular(rec->data_path, &st, error);
    if (fd < 0)
        return nullptr;
    rec->data.reset(fdopen(fd, "rb"));
    if (!rec->data) {
        int saved = errno;
        close(fd);
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot open %s: %s", rec->data_path,
                    g_strerror(saved));
        return nullptr;
    }
    if (st.st_size % 4 != 0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "%s holds %lld bytes, not a whole number of ci16 samples", rec->data_path,
                    static_cast<long long>(st.st_size));
        return nullptr;
    }
    rec->n_samples = static_cast<guint64>(st.st_size) / 4;
    for (const VekgenFrame &f : rec->frames) {
        if (!vekgen_recording_holds_frame(&f, 0, rec->n_samples)) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_TRUNCATED,
                        "%s holds %" G_GUINT64_FORMAT " samples, but the frame annotated at "
                        "sample %" G_GUINT64_FORMAT " ends at sample %" G_GUINT64_FORMAT
                        ": the recording is truncated",
                        rec->data_path, rec->n_samples, f.start_sample,
                        vekgen_frame_end_sample(&f));
            return nullptr;
        }
    }
    return rec.release();
}

} // namespace

VekgenRecording *vekgen_recording_open(const gchar *base, GError **error)
{
    try {
        return recording_open(base, error);
    } catch (const std::exception &e) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot read %s: %s", base, e.what());
        return nullptr;
    }
}

void vekgen_recording_close(VekgenRecording *recording)
{
    delete recording;
}

guint vekgen_recording_get_sample_rate(const VekgenRecording *recording)
{
    return recording->sample_rate;
}

guint64 vekgen_recording_get_n_samples(const VekgenRecording *recording)
{
    return recording->n_samples;
}

const VekgenFrame *vekgen_recording_get_frames(const VekgenRecording *recording, guint *n_frames)
{
    if (n_frames != nullptr)
        *n_frames = static_cast<guint>(recording->frames.size());
    return recording->frames.data();
}

gssize vekgen_recording_read(VekgenRecording *recording, gint16 *iq, gsize n_samples,
                             GError **error)
{
    /* No further than the size found at open, whatever the file does meanwhile. */
    n_samples = static_cast<gsize>(MIN(guint64{MIN(n_samples, gsize{G_MAXSSIZE / 4})},
                                       recording->n_samples - recording->position));
    const gsize got = fread(iq, 4, n_samples, recording->data.get());
    if (got < n_samples) {
        if (ferror(recording->data.get())) {
            int saved = errno;
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot read %s: %s",
                        recording->data_path, g_strerror(saved));
        } else {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_TRUNCATED,
                        "%s ended after %" G_GUINT64_FORMAT " of its %" G_GUINT64_FORMAT
                        " samples: the recording is truncated",
                        recording->data_path, recording->position + got, recording->n_samples);
        }
        return -1;
    }
    recording->position += got;
    for (gsize i = 0; i < 2 * got; i++)
        iq[i] = GINT16_FROM_LE(iq[i]);
    return static_cast<gssize>(got);
}

gboolean vekgen_recording_rewind(VekgenRecording *recording, GError **error)
{
    if (fseek(recording->data.get(), 0, SEEK_SET) != 0) {
        int saved = errno;
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_IO, "cannot rewind %s: %s",
                    recording->data_path, g_strerror(saved));
        return FALSE;
    }
    clearerr(recording->data.get());
    recording->position = 0;
    return TRUE;
}
