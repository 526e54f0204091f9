// The C interface (tarvex_c.h): each function is a thin call of the C++
// operation of the same name, with no behaviour of its own. The records of
// the C header are the C++ records under other names: the asserts below pin
// them equal, field by field, on every build.
#include <cstring>
#include <new>

#include "base/errors.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

#define TARVEX_SAME_FIELD(c_type, cpp_type, field)                        \
    static_assert(offsetof(c_type, field) == offsetof(cpp_type, field) && \
                      sizeof(c_type::field) == sizeof(cpp_type::field),   \
                  #c_type "::" #field " lies where " #cpp_type "::" #field " lies")

static_assert(sizeof(tarvex_context_desc) == sizeof(Tarvex::ContextBase) &&
                  alignof(tarvex_context_desc) == alignof(Tarvex::ContextBase),
              "tarvex_context_desc is Tarvex::ContextBase");
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, name);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, reserved);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, type);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, flags);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, size_hint);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, usage);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, usage_peak);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, fragments);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, fragments_peak);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, trace_depth);
TARVEX_SAME_FIELD(tarvex_context_desc, Tarvex::ContextBase, id);

static_assert(sizeof(tarvex_counter) == sizeof(MemTypeDefs::Counter) &&
                  alignof(tarvex_counter) == alignof(MemTypeDefs::Counter),
              "tarvex_counter is MemTypeDefs::Counter");
TARVEX_SAME_FIELD(tarvex_counter, MemTypeDefs::Counter, id);
TARVEX_SAME_FIELD(tarvex_counter, MemTypeDefs::Counter, name);
TARVEX_SAME_FIELD(tarvex_counter, MemTypeDefs::Counter, count);
TARVEX_SAME_FIELD(tarvex_counter, MemTypeDefs::Counter, peak);

static_assert(sizeof(tarvex_breakpoint) == sizeof(MemTypeDefs::BreakPoint) &&
                  alignof(tarvex_breakpoint) == alignof(MemTypeDefs::BreakPoint),
              "tarvex_breakpoint is MemTypeDefs::BreakPoint");
TARVEX_SAME_FIELD(tarvex_breakpoint, MemTypeDefs::BreakPoint, alloc_id);
TARVEX_SAME_FIELD(tarvex_breakpoint, MemTypeDefs::BreakPoint, context_id);
TARVEX_SAME_FIELD(tarvex_breakpoint, MemTypeDefs::BreakPoint, min_size);
TARVEX_SAME_FIELD(tarvex_breakpoint, MemTypeDefs::BreakPoint, max_size);

static_assert(sizeof(tarvex_track_entry) == sizeof(MemTrackEntry) &&
                  alignof(tarvex_track_entry) == alignof(MemTrackEntry),
              "tarvex_track_entry is MemTrackEntry");
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, reserved);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, context_id);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, address);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, size);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, alloc_id);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, info);
TARVEX_SAME_FIELD(tarvex_track_entry, MemTrackEntry, frames);

#undef TARVEX_SAME_FIELD

static_assert(TARVEX_STD_MALLOC == Tarvex::StdMalloc &&
                  TARVEX_SMALL_BLK_LIST == Tarvex::SmallBlkList &&
                  TARVEX_GROW_ONLY == Tarvex::GrowOnly &&
                  TARVEX_MULTI_THREADED == Tarvex::multi_threaded &&
                  TARVEX_ALIGNED_BLOCKS == Tarvex::aligned_blocks &&
                  TARVEX_THREAD_CACHE == Tarvex::thread_cache,
              "the C context types and flags are the C++ ones");
static_assert(TARVEX_GLOBAL_CONTEXT == tarvex_ids::global_context &&
                  TARVEX_LIBRARY_CONTEXT == tarvex_ids::library_context &&
                  TARVEX_INIT_DATA_CONTEXT == tarvex_ids::init_data_context &&
                  TARVEX_STRING_DATA == tarvex_ids::string_data &&
                  TARVEX_DEFAULT_RESOURCE_DATA == tarvex_ids::default_resource_data &&
                  TARVEX_DYNAMIC_DATA == tarvex_ids::dynamic_data,
              "the C context ids are the C++ ones");

// The C handles are the pool objects themselves.
struct tarvex_fragment_pool : FragmentPool {
    using FragmentPool::FragmentPool;
};
struct tarvex_grow_only_pool : GrowOnlyPool {
    using GrowOnlyPool::GrowOnlyPool;
};
struct tarvex_string_pool : StaticStringPool {
    using StaticStringPool::StaticStringPool;
};
static_assert(sizeof(tarvex_fragment_pool) == sizeof(FragmentPool) &&
                  sizeof(tarvex_grow_only_pool) == sizeof(GrowOnlyPool) &&
                  sizeof(tarvex_string_pool) == sizeof(StaticStringPool),
              "a handle adds nothing to its pool");

namespace {

// The host's C functions. The library calls the_config's C++ functions,
// which take a bool; these trampolines stand in the_config for the C ones,
// so that the C sink gets every message the C++ sink would get.
tarvex_log_func c_log_func = nullptr;
tarvex_break_func c_break_func = nullptr;

void log_trampoline(const char* text, bool flag) {
    const tarvex_log_func sink = __atomic_load_n(&c_log_func, __ATOMIC_ACQUIRE);
    if (sink != nullptr) sink(text, flag ? 1 : 0);
}

void break_trampoline(const MemTrackEntry* entry) {
    const tarvex_break_func on_break = __atomic_load_n(&c_break_func, __ATOMIC_ACQUIRE);
    if (on_break != nullptr) on_break(reinterpret_cast<const tarvex_track_entry*>(entry));
}

// Pool objects live in the library's own context, which tracking ignores.
template <typename Pool, typename... Args>
Pool* create_pool(Args... args) {
    void* storage = Tarvex::std_alloc(sizeof(Pool), tarvex_ids::library_context);
    if (storage == nullptr) return nullptr;
    return new (storage) Pool(args...);
}

template <typename Pool>
void destroy_pool(Pool* pool) {
    if (pool == nullptr) return;
    pool->~Pool();
    Tarvex::std_free(pool, tarvex_ids::library_context);
}

}  // namespace

void tarvex_init(void) {
    Tarvex::init();
}

void tarvex_shutdown(void) {
    Tarvex::shutdown();
}

void tarvex_context_desc_init(tarvex_context_desc* desc, const char* name, uint32_t id,
                              uint16_t type) {
    if (desc == nullptr) return;
    const Tarvex::ContextBase defaults(name, id, type);
    std::memcpy(desc, &defaults, sizeof(defaults));
}

void tarvex_context_init(const tarvex_context_desc* desc) {
    if (desc == nullptr) return;
    Tarvex::ContextBase base;
    std::memcpy(static_cast<void*>(&base), desc, sizeof(base));  // trivially copyable
    Tarvex::context_init(base);
}

uint32_t tarvex_get_context_info(tarvex_context_desc* out, uint32_t max) {
    return Tarvex::get_context_info(reinterpret_cast<Tarvex::ContextBase*>(out), max);
}

void tarvex_set_context_trace_depth(uint32_t context_id, uint32_t depth) {
    Tarvex::set_context_trace_depth(context_id, depth);
}

void tarvex_run_gc(void) {
    Tarvex::run_gc();
}

void tarvex_set_context_budget(uint32_t context_id, uint32_t soft_bytes, uint32_t hard_bytes) {
    Tarvex::set_context_budget(context_id, soft_bytes, hard_bytes);
}

void tarvex_get_context_budget(uint32_t context_id, uint32_t* soft, uint32_t* hard) {
    Tarvex::get_context_budget(context_id, soft, hard);
}

uint32_t tarvex_context_alignment(uint32_t context_id) {
    return Tarvex::context_alignment(context_id);
}

void tarvex_frame_mark(void) {
    Tarvex::frame_mark();
}

void tarvex_phase_mark(const char* name) {
    Tarvex::phase_mark(name);
}

void tarvex_context_reset(uint32_t context_id) {
    Tarvex::context_reset(context_id);
}

uint32_t tarvex_context_mark(uint32_t context_id) {
    return Tarvex::context_mark(context_id);
}

void tarvex_context_release_to(uint32_t context_id, uint32_t mark) {
    Tarvex::context_release_to(context_id, mark);
}

void* tarvex_std_alloc(uint32_t size, uint32_t context_id) {
    return Tarvex::std_alloc(size, context_id);
}

void tarvex_std_free(const void* block, uint32_t context_id) {
    Tarvex::std_free(block, context_id);
}

uint32_t tarvex_std_size(const void* block, uint32_t context_id) {
    return Tarvex::std_size(block, context_id);
}

void* tarvex_fast_alloc(uint32_t size, uint32_t context_id) {
    return Tarvex::fast_alloc(size, context_id);
}

void tarvex_fast_free(const void* block, uint32_t size, uint32_t context_id) {
    Tarvex::fast_free(block, size, context_id);
}

void* tarvex_aligned_alloc(uint32_t size, uint32_t alignment, uint32_t context_id) {
    return Tarvex::aligned_alloc(size, alignment, context_id);
}

void tarvex_aligned_free(const void* block, uint32_t context_id) {
    Tarvex::aligned_free(block, context_id);
}

void* tarvex_std_realloc(const void* block, uint32_t new_size, uint32_t context_id) {
    return Tarvex::std_realloc(block, new_size, context_id);
}

void tarvex_dbg_fill(void* block, uint32_t size) {
    Tarvex::dbg_fill(block, size);
}

void tarvex_mem_track_add(uint32_t context_id, void* block, uint32_t size, const char* info) {
    Tarvex::mem_track_add(context_id, block, size, info);
}

void tarvex_mem_track_remove(uint32_t context_id, void* block) {
    Tarvex::mem_track_remove(context_id, block);
}

void tarvex_mem_track_set_info(uint32_t context_id, void* block, const char* info) {
    Tarvex::mem_track_set_info(context_id, block, info);
}

void tarvex_enable_logging(uint32_t count) {
    Tarvex::enable_logging(count);
}

void tarvex_disable_logging(void) {
    Tarvex::disable_logging();
}

uint32_t tarvex_inc_counter(const char* name, int32_t delta) {
    return Tarvex::inc_counter(name, delta);
}

uint32_t tarvex_get_counter(const char* name) {
    return Tarvex::get_counter(name);
}

uint32_t tarvex_get_counter_info(tarvex_counter* out, uint32_t capacity) {
    return Tarvex::get_counter_info(reinterpret_cast<MemTypeDefs::Counter*>(out), capacity);
}

void tarvex_set_breakpoint(const tarvex_breakpoint* breakpoint) {
    if (breakpoint == nullptr) return;
    MemTypeDefs::BreakPoint copy;
    std::memcpy(&copy, breakpoint, sizeof(copy));
    Tarvex::set_breakpoint(copy);
}

void tarvex_get_breakpoint(tarvex_breakpoint* out) {
    if (out == nullptr) return;
    const MemTypeDefs::BreakPoint current = Tarvex::get_breakpoint();
    std::memcpy(out, &current, sizeof(current));
}

uint32_t tarvex_get_checkpoint(void) {
    return Tarvex::get_checkpoint();
}

uint32_t tarvex_scope_begin(uint32_t context_id) {
    return Tarvex::scope_begin(context_id);
}

uint32_t tarvex_scope_end(uint32_t context_id, uint32_t token, const char* file) {
    return Tarvex::scope_end(context_id, token, file);
}

void tarvex_dump_state(const char* file, uint32_t min_alloc_id) {
    Tarvex::dump_state(file, min_alloc_id);
}

void tarvex_dump_stack_trace(void) {
    Tarvex::dump_stack_trace();
}

int tarvex_mini_dump(void* exception_pointers, const char* file) {
    return Tarvex::mini_dump(static_cast<_EXCEPTION_POINTERS*>(exception_pointers), file) ? 1 : 0;
}

// The C function is stored before the trampoline goes in, so the trampoline
// never finds a stale one; null takes the trampoline out again.
void tarvex_set_log_func(tarvex_log_func sink) {
    __atomic_store_n(&c_log_func, sink, __ATOMIC_RELEASE);
    tarvex::set_log_func(sink != nullptr ? log_trampoline : nullptr);
}

void tarvex_set_break_func(tarvex_break_func on_break) {
    __atomic_store_n(&c_break_func, on_break, __ATOMIC_RELEASE);
    const Tarvex::BreakFunc installed = on_break != nullptr ? break_trampoline : nullptr;
    __atomic_store_n(&Tarvex::the_config.break_func, installed, __ATOMIC_RELEASE);
}

tarvex_fragment_pool* tarvex_fragment_pool_create(uint32_t initial_count, uint32_t fragment_size,
                                                  uint32_t grow_count, uint32_t alignment,
                                                  uint32_t context_id) {
    return create_pool<tarvex_fragment_pool>(initial_count, fragment_size, grow_count, alignment,
                                             context_id);
}

void* tarvex_fragment_pool_alloc(tarvex_fragment_pool* pool) {
    return pool != nullptr ? pool->pool_alloc(0) : nullptr;
}

void tarvex_fragment_pool_free(tarvex_fragment_pool* pool, const void* fragment) {
    if (pool != nullptr) pool->pool_free(fragment);
}

void tarvex_fragment_pool_run_gc(tarvex_fragment_pool* pool) {
    if (pool != nullptr) pool->run_gc();
}

void tarvex_fragment_pool_clear(tarvex_fragment_pool* pool) {
    if (pool != nullptr) pool->clear();
}

void tarvex_fragment_pool_destroy(tarvex_fragment_pool* pool) {
    destroy_pool(pool);
}

tarvex_grow_only_pool* tarvex_grow_only_pool_create(uint32_t block_size, uint32_t context_id) {
    return create_pool<tarvex_grow_only_pool>(block_size, context_id);
}

tarvex_grow_only_pool* tarvex_grow_only_pool_create_with_buffer(void* buffer, uint32_t buffer_size,
                                                                uint32_t block_size,
                                                                uint32_t context_id) {
    return create_pool<tarvex_grow_only_pool>(buffer, buffer_size, block_size, context_id);
}

void* tarvex_grow_only_pool_alloc(tarvex_grow_only_pool* pool, uint32_t size) {
    return pool != nullptr ? pool->pool_alloc(size) : nullptr;
}

void tarvex_grow_only_pool_clear(tarvex_grow_only_pool* pool) {
    if (pool != nullptr) pool->clear();
}

void tarvex_grow_only_pool_destroy(tarvex_grow_only_pool* pool) {
    destroy_pool(pool);
}

tarvex_string_pool* tarvex_string_pool_create(uint32_t initial_size, uint32_t block_size,
                                              uint32_t context_id) {
    return create_pool<tarvex_string_pool>(initial_size, block_size, context_id);
}

const char* tarvex_string_pool_add(tarvex_string_pool* pool, const char* text) {
    return pool != nullptr ? pool->str_add(text) : nullptr;
}

void tarvex_string_pool_clear(tarvex_string_pool* pool) {
    if (pool != nullptr) pool->clear();
}

void tarvex_string_pool_destroy(tarvex_string_pool* pool) {
    destroy_pool(pool);
}
