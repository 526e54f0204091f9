// The public interface of the tarvex memory manager.
//
// Every allocation names a memory context by a 32-bit id. The static
// operations of `Tarvex` forward through one dispatch table, `my_func_table`,
// whose occupants are switched once at start-up between the plain and the
// tracking variants; nothing on an allocation path tests a flag.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tarvex/export.h"

// The system's description of a fault being handled (Windows); opaque here.
struct _EXCEPTION_POINTERS;

// One tracked block, as `Tarvex::Config::break_func` sees it.
struct MemTrackEntry {
    uint32_t reserved;     // always 0
    uint32_t context_id;   // the id the caller passed
    void* address;         // the block as handed to the caller
    uint32_t size;         // the size the caller asked for
    uint32_t alloc_id;     // running allocation id
    const char* info;      // never null; "" when the caller gave none
    uintptr_t frames[16];  // calling frames, innermost first, zero-terminated
};

namespace MemTypeDefs {

// Picks out tracked allocations and releases; a zero field matches anything.
struct BreakPoint {
    uint32_t alloc_id;
    uint32_t context_id;
    uint32_t min_size;  // exact size when max_size is 0
    uint32_t max_size;
};

// A named counter as `Tarvex::get_counter_info` copies it out.
struct Counter {
    uint32_t id;  // hash of the name
    const char* name;
    uint32_t count;
    uint32_t peak;
};

}  // namespace MemTypeDefs

class TARVEX_API Tarvex {
public:
    enum ContextType : uint16_t { StdMalloc = 0, SmallBlkList = 1, GrowOnly = 2 };
    // multi_threaded: the context takes its own lock. aligned_blocks: every
    // block of `size` bytes is aligned to the smaller of 8 and the largest
    // power of two not above `size`, on 32-bit targets too (64-bit targets
    // align to 16 that way whatever the flags say). thread_cache, for a
    // small-block context with multi_threaded: each thread keeps up to 128
    // free fragments of each size class, so that most calls take no lock;
    // tracking mode ignores it. Like any flag bit, each exempts a context
    // from the single-thread ownership check.
    enum ContextFlags : uint16_t { multi_threaded = 1, aligned_blocks = 2, thread_cache = 4 };

    // The description of a context: passed to context_init, copied out by
    // get_context_info. The four statistics move only in tracking mode.
    struct ContextBase {
        const char* name;
        void* reserved;
        uint16_t type;
        uint16_t flags;
        uint32_t size_hint;
        uint32_t usage;
        uint32_t usage_peak;
        uint32_t fragments;
        uint32_t fragments_peak;
        uint32_t trace_depth;
        uint32_t id;

        constexpr ContextBase(const char* name_ = nullptr, uint32_t id_ = 0,
                              uint16_t type_ = StdMalloc)
            : name(name_),
              reserved(nullptr),
              type(type_),
              flags(multi_threaded),
              size_hint(0),
              usage(0),
              usage_peak(0),
              fragments(0),
              fragments_peak(0),
              trace_depth(0),
              id(id_) {}
    };

    using StdAllocFunc = void* (*)(uint32_t size, uint32_t context_id);
    using StdFreeFunc = void (*)(const void* block, uint32_t context_id);
    using StdSizeFunc = uint32_t (*)(const void* block, uint32_t context_id);
    using FastAllocFunc = void* (*)(uint32_t size, uint32_t context_id);
    using FastFreeFunc = void (*)(const void* block, uint32_t size, uint32_t context_id);
    using AlignedAllocFunc = void* (*)(uint32_t size, uint32_t alignment, uint32_t context_id);
    using AlignedFreeFunc = void (*)(const void* block, uint32_t context_id);
    using TrackAddFunc = void (*)(uint32_t context_id, void* block, uint32_t size,
                                  const char* info);
    using TrackRemoveFunc = void (*)(uint32_t context_id, void* block);
    using TrackSetInfoFunc = void (*)(uint32_t context_id, void* block, const char* info);
    using DbgFillFunc = void (*)(void* block, uint32_t size);
    using IncCounterFunc = uint32_t (*)(const char* name, int32_t delta);

    // The dispatch table behind the allocation operations, in slot order.
    struct FuncTable {
        StdAllocFunc std_alloc;
        StdFreeFunc std_free;
        StdSizeFunc std_size;
        FastAllocFunc fast_alloc;
        FastFreeFunc fast_free;
        AlignedAllocFunc aligned_alloc;
        AlignedFreeFunc aligned_free;
        TrackAddFunc mem_track_add;
        TrackRemoveFunc mem_track_remove;
        TrackSetInfoFunc mem_track_set_info;
        DbgFillFunc dbg_fill;
        IncCounterFunc inc_counter;
    };

    using LogFunc = void (*)(const char* text, bool flag);
    using BreakFunc = void (*)(const MemTrackEntry* entry);

    // The host may replace either function at any time; null silences it.
    struct Config {
        LogFunc log_func;
        BreakFunc break_func;
    };

    static FuncTable my_func_table;
    static Config the_config;

    // Lifecycle: counted; only the first init builds, only the last shutdown
    // tears down (and writes the leak report).
    static void init();
    static void shutdown();

    // Contexts.
    static void context_init(ContextBase base);
    static uint32_t get_context_info(ContextBase* out, uint32_t max);
    static void set_context_trace_depth(uint32_t context_id, uint32_t depth);
    // Budgets in bytes of tracked usage, 0 for none; they act only in
    // tracking mode. An allocation that takes usage above `soft_bytes` logs
    // one warning per crossing and calls break_func with its entry; one that
    // would take it above `hard_bytes` is refused (null) and logged. An
    // unknown id is ignored; tarvex.ini's "Budget:" lines set them too.
    static void set_context_budget(uint32_t context_id, uint32_t soft_bytes, uint32_t hard_bytes);
    // Both 0 for an unknown id; either pointer may be null.
    static void get_context_budget(uint32_t context_id, uint32_t* soft, uint32_t* hard);
    // The alignment A the context promises: every block of `size` bytes it
    // hands out (std_alloc, fast_alloc) is aligned to the smaller of A and the
    // largest power of two not above `size`. 1 for a packed grow-only
    // context, 4 for a packed small-block one, the heap's for the runtime
    // heap; 0 for an id that names no context.
    static uint32_t context_alignment(uint32_t context_id);
    // Gives the wholly free blocks of every pooled context back. A context
    // made without the multi_threaded flag has no lock, so only the thread
    // using it may touch its pools: run_gc collects it only in tracking mode,
    // where every allocation and release holds the library lock as run_gc
    // does, and otherwise leaves it alone.
    static void run_gc();

    // Arenas. A grow-only context gives back, at once and under its lock,
    // everything it handed out (context_reset) or everything handed out
    // after a mark (context_release_to); it keeps its first block for reuse.
    // Blocks given back that way must not be used again. In tracking mode
    // their entries go with them (no leaks), and usage, fragments, scopes and
    // budgets follow; peaks stay. A mark is an opaque token, 0 when refused
    // (not a grow-only context, an unknown id, 32 marks held). The marks are
    // a stack: releasing to a mark ends it and every mark taken after it. A
    // mark of another context, from before a reset, or already ended is
    // refused with an error and changes nothing. Any other context type:
    // "Context ... cannot be reset", and nothing changes.
    static void context_reset(uint32_t context_id);
    static uint32_t context_mark(uint32_t context_id);
    static void context_release_to(uint32_t context_id, uint32_t mark);

    // Allocation: each forwards to the dispatch slot of the same name.
    static void* std_alloc(uint32_t size, uint32_t context_id);
    static void std_free(const void* block, uint32_t context_id);
    static uint32_t std_size(const void* block, uint32_t context_id);
    static void* fast_alloc(uint32_t size, uint32_t context_id);
    static void fast_free(const void* block, uint32_t size, uint32_t context_id);
    static void* aligned_alloc(uint32_t size, uint32_t alignment, uint32_t context_id);
    static void aligned_free(const void* block, uint32_t context_id);
    // In tracking mode sets every byte of the block to 0xCD; otherwise does
    // nothing.
    static void dbg_fill(void* block, uint32_t size);
    static void* std_realloc(const void* block, uint32_t new_size, uint32_t context_id);

    // Tracking: no-ops unless "BackTraceMode" in tarvex.ini is above 0.
    static void mem_track_add(uint32_t context_id, void* block, uint32_t size, const char* info);
    static void mem_track_remove(uint32_t context_id, void* block);
    static void mem_track_set_info(uint32_t context_id, void* block, const char* info);

    // Allocation log: the next `count` tracked events, 0xffffffff for all.
    static void enable_logging(uint32_t count);
    static void disable_logging();

    // Named counters: return 0 unless tracking is on.
    static uint32_t inc_counter(const char* name, int32_t delta);
    static uint32_t get_counter(const char* name, int32_t ignored = 0);
    // Copies the counters, most recently used first; returns how many.
    static uint32_t get_counter_info(MemTypeDefs::Counter* out, uint32_t capacity);

    // Diagnostics: the leak report on demand, listing the blocks whose
    // allocation id is at least `min_alloc_id` (see get_checkpoint), and the
    // caller's call stack through the log sink.
    static void dump_state(const char* file_name, uint32_t min_alloc_id);
    static void dump_stack_trace();
    // A scoped leak check: scope_begin returns a token (the current
    // checkpoint); scope_end returns how many tracked blocks of the context
    // allocated since the token are still live and, when there are any and
    // `file_name` is given, writes them as a leak report of that context.
    static uint32_t scope_begin(uint32_t context_id);
    static uint32_t scope_end(uint32_t context_id, uint32_t token, const char* file_name);

    // Memory over time: with "Timeline: <file>" in tarvex.ini and tracking
    // on, every tracked allocation and release goes to that file with the
    // frame and phase it fell in (see docs/timeline-format.md); frame_mark
    // ends a frame, phase_mark names a moment ("level 2 loaded"). Without a
    // timeline both return at once.
    static void frame_mark();
    static void phase_mark(const char* name);

    // Break point: tracked allocations and releases that match it call
    // break_func. Set from tarvex.ini at start-up; all fields 0 disarms it.
    static void set_breakpoint(const MemTypeDefs::BreakPoint& breakpoint);
    static MemTypeDefs::BreakPoint get_breakpoint();
    // The alloc_id the next tracked allocation will receive.
    static uint32_t get_checkpoint();

    // Writes a mini dump of the whole process to `file_name` (replacing an
    // existing file), with the fault's exception information when
    // `exception_pointers` is not null. False when no dump was written; always
    // false where the system has no debug-help library (POSIX).
    static bool mini_dump(_EXCEPTION_POINTERS* exception_pointers, const char* file_name);

    Tarvex& operator=(const Tarvex&) { return *this; }
};

// The standard heap functions' shapes, in "Global Context" (id 0).
TARVEX_C_API void* tarvex_malloc(uint32_t size);
TARVEX_C_API void tarvex_free(void* block);
TARVEX_C_API void* tarvex_calloc(uint32_t count, uint32_t size);
TARVEX_C_API void* tarvex_realloc(void* block, uint32_t new_size);

// Well-known context ids.
namespace tarvex_ids {
constexpr uint32_t global_context = 0;
constexpr uint32_t library_context = 0xd8fa0e7au;
constexpr uint32_t init_data_context = 0x8f2dbb89u;
constexpr uint32_t string_data = 0x08c76f20u;
constexpr uint32_t default_resource_data = 0x228fc766u;
constexpr uint32_t dynamic_data = 42;
}  // namespace tarvex_ids

#if UINTPTR_MAX == 0xffffffffu
// The records that cross the interface keep their documented 32-bit layouts.
static_assert(sizeof(Tarvex::ContextBase) == 40, "ContextBase is eleven fields in 40 bytes");
static_assert(offsetof(Tarvex::ContextBase, type) == 8 &&
                  offsetof(Tarvex::ContextBase, flags) == 10,
              "type and flags are 16-bit fields after name and reserved");
static_assert(offsetof(Tarvex::ContextBase, id) == 36, "id is the last field");
static_assert(sizeof(Tarvex::FuncTable) == 12 * 4, "the dispatch table has twelve slots");
static_assert(sizeof(MemTypeDefs::BreakPoint) == 16, "BreakPoint is four 32-bit fields");
static_assert(sizeof(MemTypeDefs::Counter) == 16, "Counter is four 32-bit fields");
static_assert(sizeof(MemTrackEntry) == 88 && offsetof(MemTrackEntry, frames) == 24,
              "MemTrackEntry is six words and sixteen frames");
#endif
