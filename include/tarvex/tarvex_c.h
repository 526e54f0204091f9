/*
 * The C interface of the tarvex memory manager, for hosts that cannot use
 * the C++ interface of tarvex.h: C programs, and games built with another
 * compiler than the library (a Visual C++ game links tarvex.lib, see
 * README.md). Valid C99 and C++.
 *
 * Every function is a thin call of the operation of the same name of class
 * Tarvex (tarvex.h) or of a pool class (pools.h), and behaves exactly as that
 * operation does; the C++ comments there are the reference. The records below
 * have the fields and the layout of their C++ counterparts.
 *
 * On 32-bit Windows every function is __cdecl and exported under its plain
 * name: "tarvex_init" in the DLL, "_tarvex_init" for a Visual C++ object.
 */
#ifndef TARVEX_TARVEX_C_H
#define TARVEX_TARVEX_C_H

#include <stddef.h>
#include <stdint.h>

#include "tarvex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Context types (Tarvex::ContextType) and flags (Tarvex::ContextFlags). */
#define TARVEX_STD_MALLOC 0
#define TARVEX_SMALL_BLK_LIST 1
#define TARVEX_GROW_ONLY 2
#define TARVEX_MULTI_THREADED 1
#define TARVEX_ALIGNED_BLOCKS 2
#define TARVEX_THREAD_CACHE 4

/* Well-known context ids (tarvex_ids). */
#define TARVEX_GLOBAL_CONTEXT 0u
#define TARVEX_LIBRARY_CONTEXT 0xd8fa0e7au
#define TARVEX_INIT_DATA_CONTEXT 0x8f2dbb89u
#define TARVEX_STRING_DATA 0x08c76f20u
#define TARVEX_DEFAULT_RESOURCE_DATA 0x228fc766u
#define TARVEX_DYNAMIC_DATA 42u

/* The description of a context (Tarvex::ContextBase): passed to
 * tarvex_context_init, copied out by tarvex_get_context_info. The four
 * statistics move only in tracking mode. */
typedef struct tarvex_context_desc {
    const char* name;
    void* reserved;
    uint16_t type;  /* TARVEX_STD_MALLOC, TARVEX_SMALL_BLK_LIST, TARVEX_GROW_ONLY */
    uint16_t flags; /* TARVEX_MULTI_THREADED, TARVEX_ALIGNED_BLOCKS, TARVEX_THREAD_CACHE */
    uint32_t size_hint;
    uint32_t usage;
    uint32_t usage_peak;
    uint32_t fragments;
    uint32_t fragments_peak;
    uint32_t trace_depth;
    uint32_t id;
} tarvex_context_desc;

/* A named counter as tarvex_get_counter_info copies it (MemTypeDefs::Counter). */
typedef struct tarvex_counter {
    uint32_t id; /* hash of the name */
    const char* name;
    uint32_t count;
    uint32_t peak;
} tarvex_counter;

/* Picks out tracked allocations and releases; a zero field matches anything
 * (MemTypeDefs::BreakPoint). */
typedef struct tarvex_breakpoint {
    uint32_t alloc_id;
    uint32_t context_id;
    uint32_t min_size; /* exact size when max_size is 0 */
    uint32_t max_size;
} tarvex_breakpoint;

/* One tracked block, as the break function sees it (MemTrackEntry). */
typedef struct tarvex_track_entry {
    uint32_t reserved;    /* always 0 */
    uint32_t context_id;  /* the id the caller passed */
    void* address;        /* the block as handed to the caller */
    uint32_t size;        /* the size the caller asked for */
    uint32_t alloc_id;    /* running allocation id */
    const char* info;     /* never null; "" when the caller gave none */
    uintptr_t frames[16]; /* calling frames, innermost first, zero-terminated */
} tarvex_track_entry;

/* The host's functions: the log sink (a complete line ending in a newline,
 * and the message's flag as 0 or 1) and the break-point callback. */
typedef void(TARVEX_CDECL* tarvex_log_func)(const char* text, int flag);
typedef void(TARVEX_CDECL* tarvex_break_func)(const tarvex_track_entry* entry);

/* The exported pools, as opaque handles (pools.h). */
typedef struct tarvex_fragment_pool tarvex_fragment_pool;
typedef struct tarvex_grow_only_pool tarvex_grow_only_pool;
typedef struct tarvex_string_pool tarvex_string_pool;

/* Lifecycle: counted; the DLL runs one init on load and one shutdown on
 * unload, and only the last shutdown tears down and writes the leak report. */
TARVEX_API void TARVEX_CDECL tarvex_init(void);
TARVEX_API void TARVEX_CDECL tarvex_shutdown(void);

/* Contexts. tarvex_context_desc_init gives the defaults of the ContextBase
 * constructor: the name, id and type given, flags TARVEX_MULTI_THREADED and
 * every other field 0. A null desc does nothing. */
TARVEX_API void TARVEX_CDECL tarvex_context_desc_init(tarvex_context_desc* desc, const char* name,
                                                      uint32_t id, uint16_t type);
TARVEX_API void TARVEX_CDECL tarvex_context_init(const tarvex_context_desc* desc);
TARVEX_API uint32_t TARVEX_CDECL tarvex_get_context_info(tarvex_context_desc* out, uint32_t max);
TARVEX_API void TARVEX_CDECL tarvex_set_context_trace_depth(uint32_t context_id, uint32_t depth);
TARVEX_API void TARVEX_CDECL tarvex_run_gc(void);
/* Arenas (grow-only contexts): give back everything, or everything after a
 * mark; a mark is 0 when refused (Tarvex::context_reset and companions). */
TARVEX_API void TARVEX_CDECL tarvex_context_reset(uint32_t context_id);
TARVEX_API uint32_t TARVEX_CDECL tarvex_context_mark(uint32_t context_id);
TARVEX_API void TARVEX_CDECL tarvex_context_release_to(uint32_t context_id, uint32_t mark);
/* Budgets in tracking mode (0: none): a tracked allocation over the hard
 * budget is refused, one over the soft budget warns once per crossing. An
 * unknown id is ignored, or reads back 0 and 0; either pointer may be null. */
TARVEX_API void TARVEX_CDECL tarvex_set_context_budget(uint32_t context_id, uint32_t soft_bytes,
                                                       uint32_t hard_bytes);
TARVEX_API void TARVEX_CDECL tarvex_get_context_budget(uint32_t context_id, uint32_t* soft,
                                                       uint32_t* hard);
/* The alignment A of the context's blocks: a block of `size` bytes is aligned
 * to the smaller of A and the largest power of two not above `size`; 0 for
 * an id that names no context. */
TARVEX_API uint32_t TARVEX_CDECL tarvex_context_alignment(uint32_t context_id);

/* Allocation, through the dispatch table. */
TARVEX_API void* TARVEX_CDECL tarvex_std_alloc(uint32_t size, uint32_t context_id);
TARVEX_API void TARVEX_CDECL tarvex_std_free(const void* block, uint32_t context_id);
TARVEX_API uint32_t TARVEX_CDECL tarvex_std_size(const void* block, uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_fast_alloc(uint32_t size, uint32_t context_id);
TARVEX_API void TARVEX_CDECL tarvex_fast_free(const void* block, uint32_t size,
                                              uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_aligned_alloc(uint32_t size, uint32_t alignment,
                                                   uint32_t context_id);
TARVEX_API void TARVEX_CDECL tarvex_aligned_free(const void* block, uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_std_realloc(const void* block, uint32_t new_size,
                                                 uint32_t context_id);
/* Context handles: for code that knows its context, the same calls without
 * the id's lookup. tarvex_context_find gives the context's handle, null and
 * error 7 for an id that names no context. A handle call is the id call in
 * every other way (tracked alike in tracking mode); a null handle gives null
 * or is ignored. After the final shutdown a handle makes the id's call; a
 * handle from before a restart is refused (null, error 7): find it again. */
typedef struct tarvex_handle_s* tarvex_handle;
TARVEX_API tarvex_handle TARVEX_CDECL tarvex_context_find(uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_handle_alloc(tarvex_handle h, uint32_t size);
TARVEX_API void TARVEX_CDECL tarvex_handle_free(tarvex_handle h, const void* block);
TARVEX_API void* TARVEX_CDECL tarvex_handle_fast_alloc(tarvex_handle h, uint32_t size);
TARVEX_API void TARVEX_CDECL tarvex_handle_fast_free(tarvex_handle h, const void* block,
                                                     uint32_t size);
TARVEX_API void* TARVEX_CDECL tarvex_handle_aligned_alloc(tarvex_handle h, uint32_t size,
                                                          uint32_t alignment);
TARVEX_API void TARVEX_CDECL tarvex_handle_aligned_free(tarvex_handle h, const void* block);

/* In tracking mode sets every byte of the block to 0xCD; otherwise nothing. */
TARVEX_API void TARVEX_CDECL tarvex_dbg_fill(void* block, uint32_t size);

/* The standard heap functions' shapes, in "Global Context" (id 0). */
TARVEX_API void* TARVEX_CDECL tarvex_malloc(uint32_t size);
TARVEX_API void TARVEX_CDECL tarvex_free(void* block);
TARVEX_API void* TARVEX_CDECL tarvex_calloc(uint32_t count, uint32_t size);
TARVEX_API void* TARVEX_CDECL tarvex_realloc(void* block, uint32_t new_size);

/* Tracking: no-ops unless "BackTraceMode" in tarvex.ini is above 0. */
TARVEX_API void TARVEX_CDECL tarvex_mem_track_add(uint32_t context_id, void* block, uint32_t size,
                                                  const char* info);
TARVEX_API void TARVEX_CDECL tarvex_mem_track_remove(uint32_t context_id, void* block);
TARVEX_API void TARVEX_CDECL tarvex_mem_track_set_info(uint32_t context_id, void* block,
                                                       const char* info);
/* The allocation log: the next `count` tracked events, 0xffffffff for all. */
TARVEX_API void TARVEX_CDECL tarvex_enable_logging(uint32_t count);
TARVEX_API void TARVEX_CDECL tarvex_disable_logging(void);

/* Named counters: 0 unless tracking is on. tarvex_get_counter_info copies
 * the counters, most recently used first, and returns how many. */
TARVEX_API uint32_t TARVEX_CDECL tarvex_inc_counter(const char* name, int32_t delta);
TARVEX_API uint32_t TARVEX_CDECL tarvex_get_counter(const char* name);
TARVEX_API uint32_t TARVEX_CDECL tarvex_get_counter_info(tarvex_counter* out, uint32_t capacity);

/* Break point; all fields 0 disarms it. A null pointer does nothing. */
TARVEX_API void TARVEX_CDECL tarvex_set_breakpoint(const tarvex_breakpoint* breakpoint);
TARVEX_API void TARVEX_CDECL tarvex_get_breakpoint(tarvex_breakpoint* out);
/* The alloc_id the next tracked allocation will receive. */
TARVEX_API uint32_t TARVEX_CDECL tarvex_get_checkpoint(void);
/* A scoped leak check: tarvex_scope_begin returns a token; tarvex_scope_end
 * returns how many tracked blocks of the context allocated since the token
 * are still live, and writes them as a leak report to file when file is not
 * null and the count is not 0. */
TARVEX_API uint32_t TARVEX_CDECL tarvex_scope_begin(uint32_t context_id);
TARVEX_API uint32_t TARVEX_CDECL tarvex_scope_end(uint32_t context_id, uint32_t token,
                                                  const char* file);

/* The end of a frame, and a named moment, for the timeline ("Timeline:" in
 * tarvex.ini); without one they return at once. */
TARVEX_API void TARVEX_CDECL tarvex_frame_mark(void);
TARVEX_API void TARVEX_CDECL tarvex_phase_mark(const char* name);

/* Diagnostics: the leak report on demand, listing the blocks whose alloc_id
 * is at least min_alloc_id; the caller's stack through the log sink; a mini
 * dump of the process (exception_pointers: the fault's EXCEPTION_POINTERS,
 * or null), 1 when written and 0 when not. */
TARVEX_API void TARVEX_CDECL tarvex_dump_state(const char* file, uint32_t min_alloc_id);
TARVEX_API void TARVEX_CDECL tarvex_dump_stack_trace(void);
TARVEX_API int TARVEX_CDECL tarvex_mini_dump(void* exception_pointers, const char* file);

/* The host's functions of Tarvex::the_config. The C log sink receives every
 * message the C++ sink would, with the flag as 0 or 1; null silences all
 * messages (the C++ sink too). Storing a C++ sink in the_config.log_func
 * later replaces the C sink until tarvex_set_log_func is called again. The
 * break function likewise. */
TARVEX_API void TARVEX_CDECL tarvex_set_log_func(tarvex_log_func sink);
TARVEX_API void TARVEX_CDECL tarvex_set_break_func(tarvex_break_func on_break);

/* Pools. The pool object is kept in the library's own context; its blocks
 * come from context_id. Null when the pool object cannot be had. Every
 * function given a null handle returns null or 0, or does nothing. */

/* FragmentPool: fixed-size fragments of `fragment_size` bytes (rounded up to
 * the alignment), `grow_count` more whenever none is free. */
TARVEX_API tarvex_fragment_pool* TARVEX_CDECL tarvex_fragment_pool_create(uint32_t initial_count,
                                                                          uint32_t fragment_size,
                                                                          uint32_t grow_count,
                                                                          uint32_t alignment,
                                                                          uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_fragment_pool_alloc(tarvex_fragment_pool* pool);
TARVEX_API void TARVEX_CDECL tarvex_fragment_pool_free(tarvex_fragment_pool* pool,
                                                       const void* fragment);
TARVEX_API void TARVEX_CDECL tarvex_fragment_pool_run_gc(tarvex_fragment_pool* pool);
TARVEX_API void TARVEX_CDECL tarvex_fragment_pool_clear(tarvex_fragment_pool* pool);
TARVEX_API void TARVEX_CDECL tarvex_fragment_pool_destroy(tarvex_fragment_pool* pool);

/* GrowOnlyPool: an arena; pieces go back only all together. The buffer of
 * ..._create_with_buffer is carved first and never released by the pool. */
TARVEX_API tarvex_grow_only_pool* TARVEX_CDECL tarvex_grow_only_pool_create(uint32_t block_size,
                                                                            uint32_t context_id);
TARVEX_API tarvex_grow_only_pool* TARVEX_CDECL tarvex_grow_only_pool_create_with_buffer(
    void* buffer, uint32_t buffer_size, uint32_t block_size, uint32_t context_id);
TARVEX_API void* TARVEX_CDECL tarvex_grow_only_pool_alloc(tarvex_grow_only_pool* pool,
                                                          uint32_t size);
TARVEX_API void TARVEX_CDECL tarvex_grow_only_pool_clear(tarvex_grow_only_pool* pool);
TARVEX_API void TARVEX_CDECL tarvex_grow_only_pool_destroy(tarvex_grow_only_pool* pool);

/* StaticStringPool: copies of texts that live until clear or destroy; null
 * and "" give one shared empty string. */
TARVEX_API tarvex_string_pool* TARVEX_CDECL tarvex_string_pool_create(uint32_t initial_size,
                                                                      uint32_t block_size,
                                                                      uint32_t context_id);
TARVEX_API const char* TARVEX_CDECL tarvex_string_pool_add(tarvex_string_pool* pool,
                                                           const char* text);
TARVEX_API void TARVEX_CDECL tarvex_string_pool_clear(tarvex_string_pool* pool);
TARVEX_API void TARVEX_CDECL tarvex_string_pool_destroy(tarvex_string_pool* pool);

#ifdef __cplusplus
}
#endif

#endif
