// The timeline file as a game's run writes it, read back with the format's
// own rules: a known sequence of allocations, releases, arena rewinds, frame
// and phase marks gives exact figures; a run that dies without its final
// shutdown leaves whole chunks only; a file that cannot be written is
// reported once and the run goes on.
//   timeline_host run     the sequence, the final shutdown, then the checks
//   timeline_host crash   many frames, then the process ends without a shutdown
//   timeline_host refused a timeline that cannot be written
//   timeline_host full-later  one whose writes start failing midway (POSIX)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/file_check.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}

// ---------------------------------------------------------------------------
// A reader of the format, as small as the checks need
// ---------------------------------------------------------------------------

struct Reader {
    const std::string& bytes;
    size_t at;
    size_t end;

    uint64_t varint() {
        uint64_t value = 0;
        for (int shift = 0; at < end; shift += 7) {
            const auto byte = static_cast<unsigned char>(bytes[at++]);
            value |= uint64_t{byte & 0x7fu} << shift;
            if ((byte & 0x80) == 0) break;
        }
        return value;
    }
    int64_t signed_varint() {
        const uint64_t value = varint();
        return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
    }
    std::string text() {
        const size_t length = static_cast<size_t>(varint());
        std::string value = bytes.substr(at, length);
        at += length;
        return value;
    }
};

struct Figures {
    bool header_ok = false;
    int chunks = 0;
    bool cut_short = false;
    std::map<uint64_t, uint32_t> context_ids;              // index -> id
    std::vector<std::pair<uint32_t, uint64_t>> per_frame;  // allocations, bytes
    std::vector<uint64_t> usage_at_frame_end;              // all contexts together
    uint64_t peak = 0;
    std::vector<std::string> phases;
    int stacks = 0;
    int modules = 0;
    std::vector<uint64_t> times;  // of every mark and time record
};

Figures read_timeline(const std::string& bytes) {
    Figures f;
    f.header_ok = bytes.size() >= 16 && bytes.compare(0, 8, "TARVEXTL") == 0 && bytes[8] == 2 &&
                  bytes[10] == static_cast<char>(sizeof(void*));
    struct Live {
        uint64_t context;
        uint64_t size;
    };
    std::map<uint32_t, Live> live;
    uint64_t usage = 0, address = 0;
    uint32_t last_id = UINT32_MAX;
    f.per_frame.emplace_back(0, 0);
    const auto drop = [&](auto keep) {
        for (auto it = live.begin(); it != live.end();) {
            if (keep(*it)) {
                ++it;
            } else {
                usage -= it->second.size;
                it = live.erase(it);
            }
        }
    };
    for (size_t at = 16; at + 4 <= bytes.size();) {
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i)
            length = (length << 8) | static_cast<unsigned char>(bytes[at + i]);
        if (at + 4 + length > bytes.size()) {
            f.cut_short = true;
            break;
        }
        ++f.chunks;
        Reader r{bytes, at + 4, at + 4 + length};
        while (r.at < r.end) {
            switch (bytes[r.at++]) {
                case 1: {
                    const uint64_t index = r.varint();
                    f.context_ids[index] = static_cast<uint32_t>(r.varint());
                    r.varint();
                    r.varint();
                    r.text();
                    break;
                }
                case 2:
                    r.varint();
                    r.varint();
                    r.text();
                    ++f.modules;
                    break;
                case 3: {
                    r.varint();
                    const int count = static_cast<unsigned char>(bytes[r.at++]);
                    for (int i = 0; i < count; ++i) r.varint();
                    ++f.stacks;
                    break;
                }
                case 4: {
                    const uint64_t context = r.varint();
                    const uint64_t size = r.varint();
                    address += static_cast<uint64_t>(r.signed_varint());
                    last_id = last_id + 1 + static_cast<uint32_t>(r.signed_varint());
                    r.varint();
                    live[last_id] = {context, size};
                    usage += size;
                    if (usage > f.peak) f.peak = usage;
                    f.per_frame.back().first += 1;
                    f.per_frame.back().second += size;
                    break;
                }
                case 5: {
                    const uint32_t id = last_id - static_cast<uint32_t>(r.signed_varint());
                    usage -= live[id].size;
                    live.erase(id);
                    break;
                }
                case 6: {
                    const uint64_t context = r.varint();
                    drop([&](const auto& e) { return e.second.context != context; });
                    break;
                }
                case 7: {
                    const uint64_t context = r.varint();
                    const uint32_t from = last_id - static_cast<uint32_t>(r.signed_varint());
                    drop([&](const auto& e) {
                        return e.second.context != context || e.first < from;
                    });
                    break;
                }
                case 8:
                    f.times.push_back(r.varint());
                    f.usage_at_frame_end.push_back(usage);
                    f.per_frame.emplace_back(0, 0);
                    break;
                case 9:
                    f.phases.push_back(r.text());
                    f.times.push_back(r.varint());
                    break;
                case 10:
                    f.times.push_back(r.varint());
                    break;
                default:
                    return f;
            }
        }
        at = r.end;
    }
    return f;
}

// ---------------------------------------------------------------------------
// The runs
// ---------------------------------------------------------------------------

constexpr uint32_t heap = 0x400, small = 0x401, arena = 0x402;

void make_contexts() {
    Tarvex::context_init(Tarvex::ContextBase("Timeline heap", heap));
    Tarvex::context_init(Tarvex::ContextBase("Timeline small", small, Tarvex::SmallBlkList));
    Tarvex::context_init(Tarvex::ContextBase("Timeline arena", arena, Tarvex::GrowOnly));
}

// Kept out of main, so that its stacks name it as a function of its own.
__attribute__((noinline)) int run() {
    make_contexts();
    // Frame 0: two blocks.
    void* a = Tarvex::std_alloc(100, heap);
    void* b = Tarvex::std_alloc(40, small);
    Tarvex::frame_mark();
    // Frame 1: one goes, a larger one comes; the level is loaded.
    Tarvex::std_free(a, heap);
    void* c = Tarvex::std_alloc(300, heap);
    Tarvex::phase_mark("level 1 loaded");
    Tarvex::frame_mark();
    // Frame 2: scratch in the arena, given back to a mark, then all of it.
    void* kept = Tarvex::std_alloc(10, arena);
    const uint32_t mark = Tarvex::context_mark(arena);
    Tarvex::std_alloc(1000, arena);
    Tarvex::std_alloc(500, arena);
    Tarvex::context_release_to(arena, mark);
    Tarvex::std_alloc(64, arena);
    Tarvex::frame_mark();
    // Frame 3: the arena reset, the rest released.
    Tarvex::context_reset(arena);
    Tarvex::std_free(b, small);
    Tarvex::std_free(c, heap);
    Tarvex::frame_mark();
    (void)kept;
    Tarvex::shutdown();  // the final shutdown writes the last chunk

    const Figures f = read_timeline(read_file("timeline.bin"));
    SCENARIO_CHECK(f.header_ok && !f.cut_short && f.chunks >= 1);
    SCENARIO_CHECK(f.context_ids.size() == 3);
    const std::vector<std::pair<uint32_t, uint64_t>> per_frame = {
        {2, 140}, {1, 300}, {4, 1574}, {0, 0}, {0, 0}};
    SCENARIO_CHECK(f.per_frame == per_frame);
    const std::vector<uint64_t> usage = {140, 340, 414, 0};
    SCENARIO_CHECK(f.usage_at_frame_end == usage);
    SCENARIO_CHECK(f.peak == 1850);  // 340 + 10 + 1000 + 500 before the release
    SCENARIO_CHECK(f.phases == std::vector<std::string>{"level 1 loaded"});
    // Every block recorded its stack, each distinct stack once, and the
    // modules its frames lie in before it.
    SCENARIO_CHECK(f.stacks >= 1 && f.stacks <= 8 && f.modules >= 1);
    // One time at each of the four frame marks and the phase mark, in order.
    SCENARIO_CHECK(f.times.size() == 5 && std::is_sorted(f.times.begin(), f.times.end()));
    return scenario_result();
}

// A game that marks nothing still gets a time axis: time records, at least
// 100 ms apart, however many events come between.
int unmarked() {
    make_contexts();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(450)) {
        for (int i = 0; i < 100; ++i) Tarvex::std_free(Tarvex::std_alloc(16, small), small);
    }
    Tarvex::shutdown();
    const Figures f = read_timeline(read_file("timeline.bin"));
    SCENARIO_CHECK(f.header_ok && f.usage_at_frame_end.empty());
    SCENARIO_CHECK(f.times.size() >= 2);
    for (size_t i = 1; i < f.times.size(); ++i) SCENARIO_CHECK(f.times[i] - f.times[i - 1] >= 100);
    return scenario_result();
}

// Far more than a chunk's worth of events, then the end of the process as a
// crash would bring it: no shutdown, nothing written after the last chunk.
int crash() {
    make_contexts();
    for (int frame = 0; frame < 400; ++frame) {
        for (int i = 0; i < 50; ++i) Tarvex::std_free(Tarvex::std_alloc(8 + i, small), small);
        Tarvex::frame_mark();
    }
    std::fflush(stdout);
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 0);
#else
    _exit(0);
#endif
    return 1;
}

// A timeline that cannot be written: reported once, and the run goes on.
// The library starts again, so that the start's report reaches this sink.
int refused() {
    Tarvex::shutdown();
    Tarvex::init();
    make_contexts();
    for (int frame = 0; frame < 600; ++frame) {
        for (int i = 0; i < 50; ++i) Tarvex::std_free(Tarvex::std_alloc(8 + i, small), small);
        Tarvex::frame_mark();
    }
    size_t reports = 0;
    for (const std::string& line : logged)
        reports += line.rfind("Tarvex: ERROR: Cannot write the timeline file: ", 0) == 0;
    SCENARIO_CHECK(reports == 1);
    void* block = Tarvex::std_alloc(32, small);
    SCENARIO_CHECK(block != nullptr);
    Tarvex::std_free(block, small);
    Tarvex::the_config.log_func = nullptr;
    return scenario_result();
}

}  // namespace

int main(int argc, char** argv) {
    Tarvex::the_config.log_func = remember;
    const std::string mode = argc > 1 ? argv[1] : "run";
    if (mode == "crash") return crash();
    if (mode == "refused") return refused();
    if (mode == "unmarked") return unmarked();
#if !defined(_WIN32)
    if (mode == "full-later") {
        // The file may grow to 100,000 bytes, then every write fails.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
        return refused();
    }
#endif
    const int result = run();
    Tarvex::the_config.log_func = nullptr;
    return result;
}
