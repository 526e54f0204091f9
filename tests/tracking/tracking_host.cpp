// Tracking through the dispatch table, in a process started with
// "BackTraceMode: 1": statistics, duplicates, wrong ids and sizes, info
// texts, lookups, the break point, logging, ownership of single-threaded contexts and
// named counters.
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "support/context_info.h"
#include "support/file_check.h"
#include "support/scenario_check.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace {

std::vector<std::string> logged;
void remember(const char* text, bool) {
    logged.push_back(text);
}

size_t logged_count(const std::string& text) {
    size_t n = 0;
    for (const auto& line : logged) n += line == text;
    return n;
}

std::vector<MemTrackEntry> breaks;
std::deque<std::string> break_infos;  // a release frees the entry's text after the call
void on_break(const MemTrackEntry* entry) {
    breaks.push_back(*entry);
    break_infos.emplace_back(entry->info);
    breaks.back().info = break_infos.back().c_str();
}

const char* const duplicate = "Tarvex: ERROR: tracking duplicate entry. \n";
const char* const invalid = "Tarvex: ERROR: Invalid pointer specified\n";
const char* const unknown = "Tarvex: ERROR: unknown\n";
const char* const misuse =
    "Tarvex: ERROR: Single threaded Memory Context is used from multiple Threads\n";

void statistics_follow_tracked_blocks() {
    const uint32_t id = 0x300;
    Tarvex::context_init(Tarvex::ContextBase("Stats", id));
    void* a = Tarvex::std_alloc(100, id);
    void* b = Tarvex::fast_alloc(50, id);
    void* c = Tarvex::aligned_alloc(30, 64, id);
    Tarvex::ContextBase info = context_info_of(id);
    SCENARIO_CHECK(info.fragments == 3 && info.usage == 180);
    Tarvex::std_free(a, id);
    Tarvex::fast_free(b, 50, id);
    Tarvex::aligned_free(c, id);
    info = context_info_of(id);
    SCENARIO_CHECK(info.fragments == 0 && info.usage == 0);
    SCENARIO_CHECK(info.fragments_peak == 3 && info.usage_peak == 180);
    SCENARIO_CHECK(logged.empty());
}

void duplicates_wrong_ids_and_sizes() {
    const uint32_t id = 0x301, other = 0x302;
    Tarvex::context_init(Tarvex::ContextBase("Dup", id));
    Tarvex::context_init(Tarvex::ContextBase("Other", other));
    int object = 0;
    Tarvex::mem_track_add(id, &object, 8, "first");
    Tarvex::mem_track_add(id, &object, 8, "second");
    SCENARIO_CHECK(logged_count(duplicate) == 1);
    SCENARIO_CHECK(context_info_of(id).fragments == 2);

    // The same address in another context is a separate entry.
    Tarvex::mem_track_add(other, &object, 4, nullptr);
    Tarvex::mem_track_remove(other, &object);
    SCENARIO_CHECK(logged_count(invalid) == 0);

    // A release under the wrong id: error 4, and the block stays live in the
    // context it came from, which still releases it.
    void* block = Tarvex::std_alloc(16, id);
    Tarvex::std_free(block, other);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    SCENARIO_CHECK(context_info_of(id).fragments == 3);
    std::memset(block, 0x5a, 16);
    Tarvex::std_free(block, id);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    SCENARIO_CHECK(context_info_of(id).fragments == 2);

    // fast_free with the wrong size: "unknown", the entry goes, usage drops
    // by the tracked size, and the pools get the fragment back by the size
    // they gave it out with: the next 40-byte request reuses it.
    const uint32_t small = 0x307;
    Tarvex::context_init(Tarvex::ContextBase("Sized", small, Tarvex::SmallBlkList));
    void* sized = Tarvex::fast_alloc(40, small);
    Tarvex::fast_free(sized, 8, small);
    SCENARIO_CHECK(logged_count(unknown) == 1);
    SCENARIO_CHECK(context_info_of(small).usage == 0);
    void* eight = Tarvex::fast_alloc(8, small);
    void* again = Tarvex::fast_alloc(40, small);
    SCENARIO_CHECK(again == sized && eight != sized);
    Tarvex::fast_free(eight, 8, small);
    Tarvex::fast_free(again, 40, small);
    logged.clear();
    Tarvex::mem_track_remove(id, &object);
    Tarvex::mem_track_remove(id, &object);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    logged.clear();
}

// Many entries at neighbouring addresses, the same addresses in two
// contexts, released in an order unlike the one they came in: every release
// finds its own entry once, whatever shortcut the lookup takes for entries
// added recently, and a second release finds none.
void releases_find_their_own_entries() {
    const uint32_t first = 0x308, second = 0x309;
    Tarvex::context_init(Tarvex::ContextBase("Near", first));
    Tarvex::context_init(Tarvex::ContextBase("Near too", second));
    constexpr int count = 3000;
    static char area[count * 16];
    for (int i = 0; i < count; ++i) {
        Tarvex::mem_track_add(first, area + 16 * i, 16, nullptr);
        if (i % 3 == 0) Tarvex::mem_track_add(second, area + 16 * i, 8, nullptr);
    }
    for (int i = count - 1; i >= 0; i -= 2) Tarvex::mem_track_remove(first, area + 16 * i);
    for (int i = 0; i < count; i += 3) Tarvex::mem_track_remove(second, area + 16 * i);
    SCENARIO_CHECK(context_info_of(first).fragments == count / 2 &&
                   context_info_of(second).fragments == 0);
    for (int i = 0; i < count; i += 2) Tarvex::mem_track_remove(first, area + 16 * i);
    SCENARIO_CHECK(logged.empty());
    SCENARIO_CHECK(context_info_of(first).fragments == 0 && context_info_of(first).usage == 0);
    Tarvex::mem_track_remove(first, area);
    Tarvex::mem_track_remove(second, area + 16 * (count - 3));
    SCENARIO_CHECK(logged_count(invalid) == 2);
    logged.clear();
}

void null_blocks_and_the_library_context() {
    // An unknown id: error 7 from the one lookup of the call; the null block
    // is tracked, and a second one is a duplicate.
    SCENARIO_CHECK(Tarvex::std_alloc(8, 0x3ff) == nullptr);
    SCENARIO_CHECK(logged_count("Tarvex: ERROR: Context not set\n") == 1);
    SCENARIO_CHECK(Tarvex::std_alloc(8, 0x3ff) == nullptr);
    SCENARIO_CHECK(logged_count(duplicate) == 1);
    Tarvex::mem_track_remove(0x3ff, nullptr);
    logged.clear();

    // The library's own context is never tracked.
    void* own = Tarvex::std_alloc(8, 0xd8fa0e7au);
    Tarvex::mem_track_add(0xd8fa0e7au, own, 8, "x");
    Tarvex::mem_track_remove(0xd8fa0e7au, own);
    Tarvex::std_free(own, 0xd8fa0e7au);
    SCENARIO_CHECK(logged.empty());
}

void break_point_sees_entries_and_infos() {
    const uint32_t id = 0x303;
    Tarvex::context_init(Tarvex::ContextBase("Breaks", id));
    MemTypeDefs::BreakPoint point = {0, id, 0, 0};
    Tarvex::set_breakpoint(point);
    Tarvex::the_config.break_func = on_break;

    const uint32_t checkpoint = Tarvex::get_checkpoint();
    int object = 0;
    char info[] = "label";
    Tarvex::mem_track_add(id, &object, 12, info);
    Tarvex::mem_track_add(id, &object, 12, "again");  // duplicate keeps the first
    SCENARIO_CHECK(breaks.size() == 2);
    SCENARIO_CHECK(breaks[0].alloc_id == checkpoint && breaks[1].alloc_id == checkpoint + 1);
    SCENARIO_CHECK_STR(breaks[0].info, "label");
    SCENARIO_CHECK(breaks[0].frames[0] == 0);

    Tarvex::mem_track_set_info(id, &object, nullptr);
    Tarvex::mem_track_remove(id, &object);
    SCENARIO_CHECK(breaks.size() == 3);
    SCENARIO_CHECK_STR(breaks[2].info, "");
    SCENARIO_CHECK(breaks[2].alloc_id == checkpoint);  // the first entry was kept

    // A block that std_realloc moves gets a new entry; one it keeps, its old.
    breaks.clear();
    void* block = Tarvex::std_alloc(40, id);
    SCENARIO_CHECK(Tarvex::std_realloc(block, 20, id) == block);
    void* moved = Tarvex::std_realloc(block, 4000, id);
    SCENARIO_CHECK(moved != block);
    SCENARIO_CHECK(breaks.size() == 3);
    SCENARIO_CHECK(breaks[1].size == 4000 && breaks[1].alloc_id == breaks[0].alloc_id + 1);
    SCENARIO_CHECK(breaks[2].address == block);
    Tarvex::std_free(moved, id);

    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    Tarvex::the_config.break_func = nullptr;
    breaks.clear();
    SCENARIO_CHECK(logged_count(duplicate) == 1);
    logged.clear();
}

// A request the context cannot serve is no block: no entry, no figure, no
// allocation id, and nothing of a hard budget taken by it.
void failed_requests_leave_no_trace() {
    const uint32_t id = 0x30a;
    Tarvex::context_init(Tarvex::ContextBase("Refusing", id, Tarvex::SmallBlkList));
    Tarvex::set_context_budget(id, 0, UINT32_MAX);
    const uint32_t checkpoint = Tarvex::get_checkpoint();
    SCENARIO_CHECK(Tarvex::std_alloc(UINT32_MAX, id) == nullptr);
    SCENARIO_CHECK(Tarvex::aligned_alloc(0xe0000000u, 0x20000000u, id) == nullptr);
    const Tarvex::ContextBase info = context_info_of(id);
    SCENARIO_CHECK(info.usage == 0 && info.fragments == 0 && info.usage_peak == 0);
    SCENARIO_CHECK(Tarvex::get_checkpoint() == checkpoint);
    void* block = Tarvex::std_alloc(64, id);
    SCENARIO_CHECK(block != nullptr && context_info_of(id).usage == 64);
    Tarvex::std_free(block, id);
    SCENARIO_CHECK(logged.empty());
}

// A second release of a block is reported and never reaches the heap or a
// pool: the heap would end the process, a pool would hand one fragment out
// twice.
void second_releases_stop_at_the_table() {
    const uint32_t heap = 0x30b, small = 0x30c;
    Tarvex::context_init(Tarvex::ContextBase("Twice", heap));
    Tarvex::context_init(Tarvex::ContextBase("Twice small", small, Tarvex::SmallBlkList));
    void* a = Tarvex::std_alloc(64, heap);
    Tarvex::std_free(a, heap);
    Tarvex::std_free(a, heap);
    void* b = Tarvex::aligned_alloc(40, 32, heap);
    Tarvex::aligned_free(b, heap);
    Tarvex::aligned_free(b, heap);
    void* c = Tarvex::fast_alloc(24, small);
    Tarvex::fast_free(c, 24, small);
    Tarvex::fast_free(c, 24, small);
    void* d = Tarvex::std_alloc(24, small);
    Tarvex::std_free(d, small);
    Tarvex::std_free(d, small);
    SCENARIO_CHECK(logged_count(invalid) == 4);
    void* first = Tarvex::fast_alloc(24, small);
    void* second = Tarvex::fast_alloc(24, small);
    SCENARIO_CHECK(first != second);
    Tarvex::fast_free(first, 24, small);
    Tarvex::fast_free(second, 24, small);
    SCENARIO_CHECK(context_info_of(heap).fragments == 0 && context_info_of(small).fragments == 0);
    logged.clear();
}

// A break function that, told of a release, releases the same block again
// and another one: the release in progress has taken the entry out of the
// table already, so the nested one is reported and the block goes back once.
void break_functions_that_release_are_safe() {
    static const uint32_t id = 0x30d;
    static void* nested = nullptr;
    static void* victim = nullptr;
    Tarvex::context_init(Tarvex::ContextBase("Break frees", id));
    victim = Tarvex::std_alloc(48, id);
    nested = Tarvex::std_alloc(32, id);
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, id, 48, 0});
    Tarvex::the_config.break_func = [](const MemTrackEntry* entry) {
        if (entry->address != victim || nested == nullptr) return;
        void* other = nested;
        nested = nullptr;
        Tarvex::std_free(victim, id);
        Tarvex::std_free(other, id);
    };
    Tarvex::std_free(victim, id);
    SCENARIO_CHECK(nested == nullptr);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    SCENARIO_CHECK(context_info_of(id).fragments == 0 && context_info_of(id).usage == 0);
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    Tarvex::the_config.break_func = nullptr;
    logged.clear();
}

// A sink that releases tracked blocks when the report tells it of an id that
// names no context: the report has let go of the entries by then, lists the
// blocks that were live when it began, and reads nothing freed.
void reports_survive_a_sink_that_releases() {
    static const uint32_t id = 0x30e;
    static std::vector<void*> blocks;
    Tarvex::context_init(Tarvex::ContextBase("Sink frees", id));
    for (int i = 0; i < 50; ++i) blocks.push_back(Tarvex::std_alloc(16 + i, id));
    static int orphan = 0;
    const uint32_t since = Tarvex::get_checkpoint() - 50;
    Tarvex::mem_track_add(0x3fe, &orphan, 4, "orphan");
    Tarvex::the_config.log_func = [](const char* text, bool flag) {
        remember(text, flag);
        if (std::strstr(text, "Context not set") == nullptr) return;
        for (void* block : blocks) Tarvex::std_free(block, id);
        blocks.clear();
    };
    Tarvex::dump_state("sink_frees.xml", since);
    Tarvex::the_config.log_func = remember;
    SCENARIO_CHECK(blocks.empty());
    const std::string report = read_file("sink_frees.xml");
    SCENARIO_CHECK(report.find("<Allocations Count=\"51\" />") != std::string::npos);
    Tarvex::mem_track_remove(0x3fe, &orphan);
    logged.clear();
}

// An arena's reset and release to a mark forget exactly the entries of the
// memory they give back: figures, budgets, scopes and the report follow.
void arena_rewinds_forget_their_blocks() {
    const uint32_t id = 0x30f;
    Tarvex::ContextBase arena("Level", id, Tarvex::GrowOnly);
    Tarvex::context_init(arena);
    Tarvex::set_context_budget(id, 0, 1000);
    void* kept = Tarvex::std_alloc(100, id);
    const uint32_t token = Tarvex::scope_begin(id);
    const uint32_t mark = Tarvex::context_mark(id);
    Tarvex::std_alloc(200, id);
    Tarvex::fast_alloc(5000, id);  // refused by the budget
    Tarvex::fast_alloc(300, id);
    Tarvex::ContextBase info = context_info_of(id);
    SCENARIO_CHECK(info.fragments == 3 && info.usage == 600);
    SCENARIO_CHECK(Tarvex::std_alloc(500, id) == nullptr);

    Tarvex::context_release_to(id, mark);
    info = context_info_of(id);
    SCENARIO_CHECK(info.fragments == 1 && info.usage == 100);
    SCENARIO_CHECK(info.fragments_peak == 3 && info.usage_peak == 600);
    SCENARIO_CHECK(Tarvex::scope_end(id, token, nullptr) == 0);
    Tarvex::dump_state("arena.xml", token - 1);
    const std::string report = read_file("arena.xml");
    SCENARIO_CHECK(report.find("<Allocations Count=\"1\" />") != std::string::npos);
    SCENARIO_CHECK(report.find("Size=\"100\"") != std::string::npos);

    // The budget sees the usage fall; a reset takes the rest.
    SCENARIO_CHECK(Tarvex::std_alloc(800, id) != nullptr);
    Tarvex::context_reset(id);
    info = context_info_of(id);
    SCENARIO_CHECK(info.fragments == 0 && info.usage == 0);
    // A block given back with the arena is no longer the host's to release.
    Tarvex::std_free(kept, id);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    SCENARIO_CHECK(Tarvex::std_alloc(900, id) == kept);
    Tarvex::context_reset(id);
    logged.clear();
}

// Blocks of no bytes fill an arena block exactly, so the last one starts
// where the block ends: a reset and a release to a mark drop it with the
// others, and the next block at its address is no duplicate.
void zero_size_blocks_leave_with_their_arena() {
    const uint32_t id = 0x312;
    Tarvex::context_init(Tarvex::ContextBase("Zeros", id, Tarvex::GrowOnly));
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3000; ++i) Tarvex::std_alloc(0, id);
        Tarvex::context_reset(id);
        const Tarvex::ContextBase info = context_info_of(id);
        SCENARIO_CHECK(info.fragments == 0 && info.usage == 0);
    }
    const uint32_t mark = Tarvex::context_mark(id);
    for (int i = 0; i < 3000; ++i) Tarvex::std_alloc(0, id);
    Tarvex::context_release_to(id, mark);
    SCENARIO_CHECK(context_info_of(id).fragments == 0);
    for (int i = 0; i < 3000; ++i) Tarvex::std_alloc(0, id);
    Tarvex::context_reset(id);
    SCENARIO_CHECK(context_info_of(id).fragments == 0);
    SCENARIO_CHECK(logged.empty());
}

// In tracking mode the thread caches stay out of the way: blocks made on
// one thread and released on another leave exact figures and scopes.
void thread_cached_contexts_stay_exact() {
    const uint32_t id = 0x311;
    Tarvex::ContextBase cached("Cached", id, Tarvex::SmallBlkList);
    cached.flags = Tarvex::multi_threaded | Tarvex::thread_cache;
    Tarvex::context_init(cached);
    const uint32_t token = Tarvex::scope_begin(id);
    std::vector<void*> blocks;
    std::thread maker([&] {
        for (uint32_t i = 0; i < 40; ++i) blocks.push_back(Tarvex::std_alloc(10 + i, id));
    });
    maker.join();
    std::thread releaser([&] {
        for (size_t i = 0; i < blocks.size(); i += 2) Tarvex::std_free(blocks[i], id);
    });
    releaser.join();
    const Tarvex::ContextBase info = context_info_of(id);
    uint32_t usage = 0;
    for (uint32_t i = 1; i < 40; i += 2) usage += 10 + i;
    SCENARIO_CHECK(info.fragments == 20 && info.usage == usage);
    SCENARIO_CHECK(Tarvex::scope_end(id, token, nullptr) == 20);
    for (size_t i = 1; i < blocks.size(); i += 2) Tarvex::std_free(blocks[i], id);
    SCENARIO_CHECK(context_info_of(id).fragments == 0 && logged.empty());
}

void logging_counts_down() {
    const uint32_t id = 0x304;
    Tarvex::context_init(Tarvex::ContextBase("Logged", id));
    Tarvex::enable_logging(1);
    void* a = Tarvex::std_alloc(8, id);
    Tarvex::std_free(a, id);
    SCENARIO_CHECK(logged.size() == 1);
    SCENARIO_CHECK(logged[0].rfind("Tarvex: AllocId: ", 0) == 0);
    SCENARIO_CHECK(logged[0].find("  Size: 8 Context: Logged Info: \n") != std::string::npos);
    logged.clear();
    Tarvex::enable_logging(5);
    for (int i = 0; i < 4; ++i) Tarvex::std_free(Tarvex::std_alloc(8, id), id);
    SCENARIO_CHECK(logged.size() == 5);
    logged.clear();
    Tarvex::enable_logging(0xffffffffu);
    for (int i = 0; i < 10; ++i) Tarvex::std_free(Tarvex::std_alloc(8, id), id);
    SCENARIO_CHECK(logged.size() == 20);
    Tarvex::disable_logging();
    logged.clear();
}

// A sink that allocates is called for one line at a time: its own blocks are
// tracked but not logged, and a disable_logging it makes holds.
void allocating_sinks_do_not_recurse() {
    static int lines = 0;
    Tarvex::context_init(Tarvex::ContextBase("Sink", 0x308));
    Tarvex::the_config.log_func = [](const char*, bool) {
        ++lines;
        Tarvex::std_free(Tarvex::std_alloc(32, 0x308), 0x308);
    };
    Tarvex::enable_logging(2);
    for (int i = 0; i < 3; ++i) Tarvex::std_free(Tarvex::std_alloc(8, 0x308), 0x308);
    SCENARIO_CHECK(lines == 2);

    lines = 0;
    Tarvex::the_config.log_func = [](const char*, bool) {
        ++lines;
        Tarvex::disable_logging();
    };
    Tarvex::enable_logging(5);
    for (int i = 0; i < 3; ++i) Tarvex::std_free(Tarvex::std_alloc(8, 0x308), 0x308);
    SCENARIO_CHECK(lines == 1);
    Tarvex::the_config.log_func = remember;
    SCENARIO_CHECK(context_info_of(0x308).fragments == 0);
}

void single_threaded_contexts_belong_to_one_thread() {
    Tarvex::ContextBase single("Single", 0x305);
    single.flags = 0;
    Tarvex::context_init(single);
    Tarvex::ContextBase exempt("Exempt", 0x306);
    exempt.flags = 2;
    Tarvex::context_init(exempt);
    void* mine = Tarvex::std_alloc(8, 0x305);
    std::thread other([] {
        Tarvex::std_free(Tarvex::std_alloc(8, 0x305), 0x305);
        Tarvex::std_free(Tarvex::std_alloc(8, 0x306), 0x306);
        Tarvex::std_free(Tarvex::std_alloc(8, 0), 0);
    });
    other.join();
    SCENARIO_CHECK(logged_count(misuse) == 2);
    Tarvex::std_free(mine, 0x305);
    SCENARIO_CHECK(logged_count(misuse) == 2);
    logged.clear();
}

// A handle call is its id's call: the same figures, budget and ownership
// check, blocks crossing between the two families, a second release stopped
// at the table; the single-threaded context serves without a lock.
void handles_are_tracked_as_ids() {
    Tarvex::ContextBase single("Handled single", 0x320, Tarvex::SmallBlkList);
    single.flags = 0;
    Tarvex::context_init(single);
    tarvex_handle handle = tarvex_context_find(0x320);
    void* a = tarvex_handle_alloc(handle, 100);
    void* b = tarvex_handle_fast_alloc(handle, 50);
    void* c = tarvex_handle_aligned_alloc(handle, 30, 64);
    void* d = Tarvex::std_alloc(20, 0x320);
    Tarvex::ContextBase info = context_info_of(0x320);
    SCENARIO_CHECK(info.fragments == 4 && info.usage == 200);
    Tarvex::std_free(a, 0x320);
    tarvex_handle_free(handle, d);
    tarvex_handle_free(handle, d);
    SCENARIO_CHECK(logged_count(invalid) == 1);
    tarvex_handle_fast_free(handle, b, 50);
    tarvex_handle_aligned_free(handle, c);
    info = context_info_of(0x320);
    SCENARIO_CHECK(info.fragments == 0 && info.usage == 0 && info.usage_peak == 200);

    Tarvex::set_context_budget(0x320, 0, 64);
    SCENARIO_CHECK(tarvex_handle_alloc(handle, 65) == nullptr);
    SCENARIO_CHECK(context_info_of(0x320).fragments == 0);
    std::thread other([handle] { tarvex_handle_free(handle, tarvex_handle_alloc(handle, 8)); });
    other.join();
    SCENARIO_CHECK(logged_count(misuse) == 2);
    logged.clear();
}

void counters_count_with_peaks() {
    SCENARIO_CHECK(Tarvex::inc_counter("x", 5) == 5);
    SCENARIO_CHECK(Tarvex::inc_counter("x", -3) == 2);
    SCENARIO_CHECK(Tarvex::inc_counter("minus", -1) == 0xffffffffu);
    SCENARIO_CHECK(Tarvex::get_counter("y", 7) == 0);
    MemTypeDefs::Counter counters[8];
    SCENARIO_CHECK(Tarvex::get_counter_info(counters, 8) == 3);
    SCENARIO_CHECK_STR(counters[0].name, "y");
    SCENARIO_CHECK_STR(counters[1].name, "minus");
    SCENARIO_CHECK(counters[1].count == 0xffffffffu && counters[1].peak == 0xffffffffu);
    SCENARIO_CHECK(counters[2].count == 2 && counters[2].peak == 5);
    SCENARIO_CHECK(counters[2].id == 0x78);
    Tarvex::get_counter("x");
    SCENARIO_CHECK(Tarvex::get_counter_info(counters, 2) == 2);
    SCENARIO_CHECK_STR(counters[0].name, "x");
    SCENARIO_CHECK_STR(counters[1].name, "y");
    SCENARIO_CHECK(Tarvex::get_counter_info(counters, 0) == 0);

    char temporary[] = "temporary";
    Tarvex::inc_counter(temporary, 1);
    std::memset(temporary, 'z', sizeof(temporary) - 1);
    Tarvex::get_counter_info(counters, 1);
    SCENARIO_CHECK_STR(counters[0].name, "temporary");

    Tarvex::inc_counter(nullptr, 2);
    SCENARIO_CHECK(Tarvex::get_counter("") == 2);
    Tarvex::get_counter_info(counters, 1);
    SCENARIO_CHECK(counters[0].id == 0);
    SCENARIO_CHECK_STR(counters[0].name, "");
}

void memory_blocks_label_their_entries() {
    const uint32_t id = 0x307;
    Tarvex::context_init(Tarvex::ContextBase("Labelled", id));
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, id, 0, 0});
    Tarvex::the_config.break_func = on_break;
    {
        MemBlk block(64, id);
        block.set_info("mesh buffer");
    }
    SCENARIO_CHECK(breaks.size() == 2);
    if (breaks.size() == 2) {
        SCENARIO_CHECK(breaks[1].size == 64);
        SCENARIO_CHECK_STR(breaks[1].info, "mesh buffer");
    }
    Tarvex::set_breakpoint(MemTypeDefs::BreakPoint{0, 0, 0, 0});
    Tarvex::the_config.break_func = nullptr;
    breaks.clear();
}

void static_counter_names_are_kept() {
    Tarvex::ContextBase infos[64];
    const uint32_t count = Tarvex::get_context_info(infos, 64);
    const char* global_name = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id == 0) global_name = infos[i].name;
    }
    Tarvex::inc_counter(global_name, 1);
    MemTypeDefs::Counter counter;
    Tarvex::get_counter_info(&counter, 1);
    SCENARIO_CHECK(counter.name == global_name);
}

// The running id goes on across a final shutdown and a new start-up.
void alloc_ids_survive_a_restart() {
    const uint32_t before = Tarvex::get_checkpoint();
    Tarvex::shutdown();
    Tarvex::init();
    SCENARIO_CHECK(Tarvex::get_checkpoint() == before);
    void* block = Tarvex::std_alloc(8, 0);
    SCENARIO_CHECK(Tarvex::get_checkpoint() == before + 1);
    Tarvex::std_free(block, 0);
}

void fill_writes_the_pattern() {
    unsigned char bytes[6] = {0};
    Tarvex::dbg_fill(bytes, 5);
    SCENARIO_CHECK(bytes[0] == 0xCD && bytes[4] == 0xCD && bytes[5] == 0);
    Tarvex::dbg_fill(nullptr, 5);
}

}  // namespace

int main() {
    Tarvex::the_config.log_func = remember;
    statistics_follow_tracked_blocks();
    duplicates_wrong_ids_and_sizes();
    releases_find_their_own_entries();
    null_blocks_and_the_library_context();
    failed_requests_leave_no_trace();
    second_releases_stop_at_the_table();
    break_functions_that_release_are_safe();
    reports_survive_a_sink_that_releases();
    arena_rewinds_forget_their_blocks();
    zero_size_blocks_leave_with_their_arena();
    thread_cached_contexts_stay_exact();
    break_point_sees_entries_and_infos();
    logging_counts_down();
    allocating_sinks_do_not_recurse();
    single_threaded_contexts_belong_to_one_thread();
    handles_are_tracked_as_ids();
    counters_count_with_peaks();
    fill_writes_the_pattern();
    memory_blocks_label_their_entries();
    static_counter_names_are_kept();
    alloc_ids_survive_a_restart();
    // The exit-time report must not log into a vector already destroyed.
    Tarvex::the_config.log_func = nullptr;
    return scenario_result();
}
