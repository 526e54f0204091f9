// tarvex-timeline FILE: reads a timeline and prints what it found as one
// JSON document, which tarvex-report turns into its views (see
// tools/tarvex_report/timeline_native.py for the fields). Texts are printed
// as hex, since a game's texts are bytes. A file that cannot be read as a
// timeline is one line on standard error and exit code 2; a file cut short
// inside a chunk is read up to its last whole chunk, and says where.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "timeline_reader.h"

using namespace tarvex::timeline;

namespace {

// ---------------------------------------------------------------------------
// The file
// ---------------------------------------------------------------------------

struct File {
    std::FILE* handle;
    ~File() { std::fclose(handle); }
};

// Reads the file's chunks; returns where it was cut short, or -1.
long long read_file(const char* path, Reader& reader) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!error && !std::filesystem::is_regular_file(status)) throw ReadError{"not a regular file"};
    std::FILE* handle = std::fopen(path, "rb");
    if (handle == nullptr) throw ReadError{std::string("cannot open: ") + std::strerror(errno)};
    File file{handle};
    const uint64_t size = std::filesystem::file_size(path, error);
    uint8_t head[header_size];
    reader.header(head, std::fread(head, 1, sizeof(head), handle));
    std::vector<uint8_t> data;
    for (uint64_t offset = header_size;;) {
        uint8_t length[4];
        const size_t got = std::fread(length, 1, 4, handle);
        if (got == 0) return -1;
        if (got < 4) return static_cast<long long>(offset);
        const uint32_t count =
            length[0] | length[1] << 8 | length[2] << 16 | static_cast<uint32_t>(length[3]) << 24;
        if (count > longest_chunk) {
            char message[96];
            std::snprintf(message, sizeof(message), "offset %llu: a chunk of %u bytes (at most %u)",
                          static_cast<unsigned long long>(offset), count, longest_chunk);
            throw ReadError{message};
        }
        if (!error && offset + 4 + count > size) return static_cast<long long>(offset);
        data.resize(count);
        if (std::fread(data.data(), 1, count, handle) < count)
            return static_cast<long long>(offset);
        reader.chunk(data.data(), count, offset + 4);
        offset += 4 + count;
    }
}

// ---------------------------------------------------------------------------
// JSON
// ---------------------------------------------------------------------------

class Json {
public:
    ~Json() { flush(); }

    Json& raw(const char* text) {
        while (*text) put(*text++);
        return *this;
    }
    Json& number(uint64_t value) {
        char digits[24];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (n > 0) put(digits[--n]);
        return *this;
    }
    Json& hex(const std::string& bytes) {
        static const char digits[] = "0123456789abcdef";
        put('"');
        for (unsigned char c : bytes) put(digits[c >> 4]), put(digits[c & 15]);
        put('"');
        return *this;
    }
    template <typename Values>
    Json& list(const Values& values) {
        put('[');
        bool first = true;
        for (uint64_t value : values) {
            if (!first) put(',');
            first = false;
            number(value);
        }
        put(']');
        return *this;
    }
    Json& field(const char* name) {
        if (comma_) put(',');
        comma_ = true;
        put('"');
        raw(name);
        return raw("\":");
    }
    Json& open(char bracket) {
        put(bracket);
        comma_ = false;
        return *this;
    }
    Json& close(char bracket) {
        put(bracket);
        comma_ = true;
        return *this;
    }
    // Whether an element came before in the list under way; marks one.
    bool after_first() {
        const bool before = comma_;
        comma_ = true;
        return before;
    }
    Json& optional(bool present, uint64_t value) { return present ? number(value) : raw("null"); }

private:
    void put(char c) {
        if (used_ == sizeof(buffer_)) flush();
        buffer_[used_++] = c;
    }
    void flush() {
        std::fwrite(buffer_, 1, used_, stdout);
        used_ = 0;
    }
    char buffer_[1 << 16];
    size_t used_ = 0;
    bool comma_ = false;
};

// A flat list of key, bytes, blocks for each key whose figure is not zero.
template <typename FigureOf>
void figures(Json& out, const Reader& r, FigureOf figure_of) {
    out.open('[');
    bool first = true;
    for (const Key& key : r.keys) {
        const Figure f = figure_of(key);
        if (f.zero()) continue;
        if (!first) out.raw(",");
        first = false;
        out.number(key.id()).raw(",").number(f.bytes).raw(",").number(f.blocks);
    }
    out.close(']');
}

void print(const Reader& r, long long truncated) {
    Json out;
    out.open('{');
    out.field("version").number(r.version);
    out.field("pointer_size").number(r.pointer_size);
    out.field("truncated").optional(truncated >= 0, static_cast<uint64_t>(truncated));
    out.field("unknown_releases").number(r.unknown_releases);
    out.field("first_unknown").optional(r.unknown_releases != 0, r.first_unknown);
    out.field("time").number(r.time);
    out.field("timed").raw(r.timed ? "true" : "false");
    out.field("allocations").number(r.made_before);
    out.field("releases").number(r.releases);
    out.field("resets").number(r.resets);
    out.field("events_lost").number(r.events_lost);
    out.field("releases_to").number(r.releases_to);
    out.field("short_lived").number(r.short_lived);
    out.field("peak").number(r.peak);
    out.field("peak_frame").number(r.peak_frame);
    out.field("peak_id").optional(r.has_peak, r.peak_id);
    out.field("peak_time").number(r.peak_time);
    out.field("peak_made").number(r.peak_made);
    out.field("live_blocks").number(r.live_blocks());
    out.field("live_bytes").number(r.total);
    for (const auto& [name, values] : {std::pair{"counts", &r.counts},
                                       {"bytes", &r.bytes},
                                       {"freed", &r.freed},
                                       {"total_high", &r.total_high},
                                       {"top_start", &r.top_start},
                                       {"top_keys", &r.top_keys},
                                       {"top_bytes", &r.top_bytes},
                                       {"top_counts", &r.top_counts}})
        out.field(name).list(*values);
    out.field("frame_width").number(r.by_frame.width());
    out.field("second_width").number(r.by_second.width());
    out.field("total_frame_high").list(r.by_frame.series(r.total_by_frame).high);
    out.field("total_second_high").list(r.by_second.series(r.total_by_second).high);

    out.field("contexts").open('[');
    for (const Context& c : r.contexts) {
        if (&c != &r.contexts.front()) out.raw(",");
        out.open('{');
        out.field("id").number(c.id);
        out.field("name").hex(c.name);
        out.field("soft").number(c.soft);
        out.field("hard").number(c.hard);
        out.field("peak").number(c.peak);
        out.field("peak_frame").number(c.peak_frame);
        out.field("peak_id").optional(c.has_peak, c.peak_id);
        out.field("peak_time").number(c.peak_time);
        out.field("allocations").number(c.allocations);
        out.field("over_soft").number(c.over_soft);
        out.field("over_hard").number(c.over_hard);
        out.field("usage").number(c.usage);
        const Series& frames = r.by_frame.series(c.by_frame);
        const Series& seconds = r.by_second.series(c.by_second);
        out.field("frame_high").list(frames.high).field("frame_end").list(frames.end);
        out.field("second_high").list(seconds.high).field("second_end").list(seconds.end);
        out.close('}');
    }
    out.close(']');

    out.field("modules").open('[');
    for (const Reader::Module& m : r.modules) {
        if (&m != &r.modules.front()) out.raw(",");
        out.raw("[").number(m.base).raw(",").number(m.size).raw(",").hex(m.path).raw("]");
    }
    out.close(']');
    out.field("stacks").open('[');
    for (const auto& stack : r.stacks) {
        if (&stack != &r.stacks.front()) out.raw(",");
        out.list(stack);
    }
    out.close(']');
    out.field("phases").open('[');
    for (const Phase& p : r.phases) {
        if (&p != &r.phases.front()) out.raw(",");
        out.raw("[").hex(p.name).raw(",").number(p.frame).raw(",").optional(p.timed, p.time);
        out.raw(",").number(p.made).raw(",").number(p.total).raw(",").list(p.usage).raw("]");
    }
    out.close(']');

    out.field("made");
    figures(out, r, [](const Key& k) { return k.made; });
    std::vector<uint64_t> first_ids;
    for (const Key& k : r.keys) first_ids.push_back(k.first_id);
    out.field("first_id").list(first_ids);
    out.field("short");
    figures(out, r, [](const Key& k) { return k.short_lived; });
    // Live at a peak: live now, less what changed since.
    const auto since = [](const Figure& live, const Figure& change, bool valid) {
        Figure then = live;
        if (valid) then.bytes -= change.bytes, then.blocks -= change.blocks;
        return then;
    };
    out.field("at_peak");
    figures(out, r, [&](const Key& k) {
        return since(k.live, k.since_total, k.total_epoch == r.total_epoch());
    });
    out.field("context_peaks").open('[');
    for (uint32_t slot = 0; slot < r.contexts.size(); ++slot) {
        if (slot != 0) out.raw(",");
        figures(out, r, [&](const Key& k) {
            if (k.slot != slot) return Figure{};
            return since(k.live, k.since_own, k.own_epoch == r.contexts[slot].epoch);
        });
    }
    out.close(']');

    // Each key's live bytes at each creep bucket's end, where any is not 0.
    out.field("creep_width").number(r.creep_width);
    out.field("creep_frames").list(r.creep_frames);
    out.field("creep").open('[');
    std::vector<uint64_t> ends;
    for (uint32_t k = 0; k < r.keys.size(); ++k) {
        ends.assign(1, r.keys[k].id());
        bool any = false;
        for (uint32_t i = 0; i <= r.creep_at(); ++i) {
            ends.push_back(r.creep_end(k, i));
            any |= ends.back() != 0;
        }
        if (!any) continue;
        if (out.after_first()) out.raw(",");
        out.list(ends);
    }
    out.close(']');
    out.close('}').raw("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvex-timeline FILE\n");
        return 2;
    }
    Reader reader;
    long long truncated;
    try {
        truncated = read_file(argv[1], reader);
    } catch (const ReadError& error) {
        std::fprintf(stderr, "tarvex-timeline: error: %s\n", error.message.c_str());
        return 2;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvex-timeline: error: out of memory\n");
        return 2;
    }
    reader.finish();
    print(reader, truncated);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
