/*
 * A game that reaches the library through the C interface alone
 * (tarvex/tarvex_c.h and tarvex/classic.h), run with "BackTraceMode: 2".
 *
 * On windows-i686 it is built for the Visual C++ ABI: clang for
 * i686-pc-windows-msvc, without any C runtime of its own (-ffreestanding, an
 * entry point of its own), linked by lld-link against the installed
 * tarvex.lib and tarvex_classic.lib, with msvcrt.dll for printf and the file
 * functions (see build_consumer.cmake). On Linux the same checks run as a
 * plain C program.
 *
 * It checks what it can itself; check_report.cmake reads what it leaves
 * behind after it has exited: the exit-time leak report listing exactly the
 * one deliberate leak, and the log lines of that shutdown.
 */
#include <stddef.h>
#include <stdint.h>

#include "tarvex/classic.h"
#include "tarvex/tarvex_c.h"

#if defined(CONSUMER_FREESTANDING)
/* No C runtime headers: the few functions of msvcrt.dll and kernel32.dll
 * that the checks use. */
typedef struct consumer_file FILE;
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) FILE* __cdecl fopen(const char* name, const char* mode);
__declspec(dllimport) size_t __cdecl fread(void* buffer, size_t size, size_t count, FILE* file);
__declspec(dllimport) int __cdecl fputs(const char* text, FILE* file);
__declspec(dllimport) int __cdecl fclose(FILE* file);
__declspec(dllimport) int __cdecl fflush(FILE* file);
__declspec(dllimport) char* __cdecl strstr(const char* text, const char* part);
__declspec(dllimport) int __cdecl strcmp(const char* left, const char* right);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);
#else
#include <stdio.h>
#include <string.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define CONSUMER_NOINLINE __attribute__((noinline))
#else
#define CONSUMER_NOINLINE
#endif

#define HEAP_CONTEXT 0x7300u
#define SMALL_CONTEXT 0x7301u
#define ARENA_CONTEXT 0x7302u
#define UNKNOWN_CONTEXT 0x7fff0001u

static int failures = 0;

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) {                                                      \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

#define CHECK_STR(actual, expected) CHECK((actual) != NULL && strcmp((actual), (expected)) == 0)

/* Built with its symbols in a PDB file, which Wine's dbghelp cannot read,
 * the consumer's own frames are unnamed in what the library writes; the
 * report tool names them after the run (tests/tools). */
#if defined(CONSUMER_NAMES_UNREAD)
#define CHECK_NAMED(condition) ((void)0)
#else
#define CHECK_NAMED(condition) CHECK(condition)
#endif

/* Keeps a call out of tail position, so the caller's frame stays on the
 * stack that the library records. */
static void* volatile keep;

/* ---- the host's functions ---- */

static unsigned log_lines = 0;
static int context_not_set_flag = -1;
static int invalid_pointer_flag = -1;
static unsigned allocation_lines = 0;
static int stack_dump_started = 0;
static int stack_names_reporter = 0;

static int contains(const char* text, const char* part) {
    return text != NULL && strstr(text, part) != NULL;
}

/* Every line also goes to log.txt, opened anew for each one, so that the
 * lines of the exit-time shutdown reach the file too. */
static void TARVEX_CDECL on_log(const char* text, int flag) {
    FILE* file;
    ++log_lines;
    if (contains(text, "Tarvex: ERROR: Context not set\n")) context_not_set_flag = flag;
    if (contains(text, "Tarvex: ERROR: Invalid pointer specified\n")) invalid_pointer_flag = flag;
    if (contains(text, "AllocId: ")) ++allocation_lines;
    if (contains(text, "Stack trace dump start")) stack_dump_started = 1;
    if (contains(text, " D:") && contains(text, "F:consumer_report_stack")) {
        stack_names_reporter = 1;
    }
    file = fopen("log.txt", "ab");
    if (file != NULL) {
        fputs(text, file);
        fclose(file);
    }
}

static unsigned break_calls = 0;
static tarvex_track_entry last_break;

static void TARVEX_CDECL on_break(const tarvex_track_entry* entry) {
    ++break_calls;
    last_break = *entry;
}

/* ---- functions whose names the stacks must show ---- */

CONSUMER_NOINLINE void* consumer_load_level(void) {
    void* block = tarvex_std_alloc(72, HEAP_CONTEXT);
    tarvex_mem_track_set_info(HEAP_CONTEXT, block, "level block");
    keep = block;
    return block;
}

CONSUMER_NOINLINE void consumer_report_stack(void) {
    tarvex_dump_stack_trace();
    keep = NULL;
}

CONSUMER_NOINLINE void consumer_leak(void) {
    void* block = tarvex_std_alloc(40, HEAP_CONTEXT);
    tarvex_mem_track_set_info(HEAP_CONTEXT, block, "deliberate leak");
    keep = block;
}

/* ---- checks ---- */

static const tarvex_context_desc* find_desc(const tarvex_context_desc* descs, uint32_t count,
                                            uint32_t id) {
    uint32_t i;
    for (i = 0; i < count; ++i) {
        if (descs[i].id == id) return &descs[i];
    }
    return NULL;
}

static void print_contexts(const tarvex_context_desc* descs, uint32_t count) {
    uint32_t i;
    printf("%-28s %10s %4s %10s %10s %9s %9s\n", "context", "id", "type", "usage", "peak",
           "fragments", "peak");
    for (i = 0; i < count; ++i) {
        printf("%-28s 0x%08x %4u %10u %10u %9u %9u\n", descs[i].name ? descs[i].name : "",
               (unsigned)descs[i].id, (unsigned)descs[i].type, (unsigned)descs[i].usage,
               (unsigned)descs[i].usage_peak, (unsigned)descs[i].fragments,
               (unsigned)descs[i].fragments_peak);
    }
}

static void check_contexts(void) {
    tarvex_context_desc desc;
    tarvex_context_desc descs[16];
    const tarvex_context_desc* heap;
    const tarvex_context_desc* small;
    const tarvex_context_desc* arena;
    uint32_t count;
    uint32_t mark;
    unsigned char* bytes;
    void* a;
    void* b;
    void* s;
    void* f;
    void* g;
    void* al;
    void* r;

    /* The defaults of the ContextBase constructor. */
    tarvex_context_desc_init(&desc, "C heap", HEAP_CONTEXT, TARVEX_STD_MALLOC);
    CHECK_STR(desc.name, "C heap");
    CHECK(desc.reserved == NULL && desc.type == TARVEX_STD_MALLOC);
    CHECK(desc.flags == TARVEX_MULTI_THREADED && desc.size_hint == 0 && desc.usage == 0);
    CHECK(desc.usage_peak == 0 && desc.fragments == 0 && desc.fragments_peak == 0);
    CHECK(desc.trace_depth == 0 && desc.id == HEAP_CONTEXT);
    desc.trace_depth = 8;
    tarvex_context_init(&desc);

    tarvex_context_desc_init(&desc, "C small blocks", SMALL_CONTEXT, TARVEX_SMALL_BLK_LIST);
    tarvex_context_init(&desc);
    tarvex_set_context_trace_depth(SMALL_CONTEXT, 8);

    tarvex_context_desc_init(&desc, "C arena", ARENA_CONTEXT, TARVEX_GROW_ONLY);
    desc.size_hint = 64 * 1024;
    desc.trace_depth = 8;
    tarvex_context_init(&desc);

    /* Blocks from each. */
    a = tarvex_std_alloc(100, HEAP_CONTEXT);
    b = tarvex_std_alloc(200, HEAP_CONTEXT);
    s = tarvex_std_alloc(48, SMALL_CONTEXT);
    f = tarvex_fast_alloc(20, SMALL_CONTEXT);
    g = tarvex_std_alloc(1000, ARENA_CONTEXT);
    CHECK(a != NULL && b != NULL && s != NULL && f != NULL && g != NULL);
    CHECK(tarvex_std_size(a, HEAP_CONTEXT) >= 100);
    CHECK(tarvex_std_size(s, SMALL_CONTEXT) >= 48);
    /* The packed layouts of a 32-bit game, 16 for everything on 64-bit
     * targets, and none for an unknown id. */
    CHECK(tarvex_context_alignment(HEAP_CONTEXT) == (sizeof(void*) == 4 ? 8u : 16u));
    CHECK(tarvex_context_alignment(SMALL_CONTEXT) == (sizeof(void*) == 4 ? 4u : 16u));
    CHECK(tarvex_context_alignment(ARENA_CONTEXT) == (sizeof(void*) == 4 ? 1u : 16u));
    CHECK(tarvex_context_alignment(0x0badf00du) == 0);

    /* In tracking mode dbg_fill writes 0xCD over the block. */
    tarvex_dbg_fill(g, 1000);
    bytes = (unsigned char*)g;
    CHECK(bytes[0] == 0xcd && bytes[999] == 0xcd);

    al = tarvex_aligned_alloc(100, 64, HEAP_CONTEXT);
    CHECK(al != NULL && ((uintptr_t)al & 63u) == 0);

    count = tarvex_get_context_info(descs, 16);
    print_contexts(descs, count);
    heap = find_desc(descs, count, HEAP_CONTEXT);
    small = find_desc(descs, count, SMALL_CONTEXT);
    arena = find_desc(descs, count, ARENA_CONTEXT);
    CHECK(count >= 7);
    CHECK(heap != NULL && small != NULL && arena != NULL);
    if (heap != NULL && small != NULL && arena != NULL) {
        CHECK_STR(heap->name, "C heap");
        CHECK_STR(small->name, "C small blocks");
        CHECK_STR(arena->name, "C arena");
        CHECK(heap->type == TARVEX_STD_MALLOC && small->type == TARVEX_SMALL_BLK_LIST);
        CHECK(arena->type == TARVEX_GROW_ONLY && arena->size_hint == 64 * 1024);
        CHECK(heap->trace_depth == 8 && small->trace_depth == 8 && arena->trace_depth == 8);
        CHECK(heap->fragments == 3 && heap->usage == 400 && heap->usage_peak == 400);
        CHECK(small->fragments == 2 && small->usage == 68);
        CHECK(arena->fragments == 1 && arena->usage == 1000);
    }
    CHECK(tarvex_get_context_info(NULL, 0) == 0);

    /* Reallocation moves a growing block and keeps its bytes. */
    bytes = (unsigned char*)a;
    bytes[0] = 0x5a;
    bytes[99] = 0xa5;
    r = tarvex_std_realloc(a, 300, HEAP_CONTEXT);
    CHECK(r != NULL && r != a);
    if (r != NULL) {
        bytes = (unsigned char*)r;
        CHECK(bytes[0] == 0x5a && bytes[99] == 0xa5);
    }

    tarvex_std_free(r, HEAP_CONTEXT);
    tarvex_std_free(b, HEAP_CONTEXT);
    tarvex_aligned_free(al, HEAP_CONTEXT);
    tarvex_std_free(s, SMALL_CONTEXT);
    tarvex_fast_free(f, 20, SMALL_CONTEXT);
    tarvex_std_free(g, ARENA_CONTEXT);

    /* An arena gives its memory back at once: after a mark, or all of it;
     * the same address comes out again. */
    mark = tarvex_context_mark(ARENA_CONTEXT);
    CHECK(mark != 0);
    g = tarvex_std_alloc(500, ARENA_CONTEXT);
    tarvex_context_release_to(ARENA_CONTEXT, mark);
    CHECK(g != NULL && tarvex_std_alloc(500, ARENA_CONTEXT) == g);
    tarvex_context_reset(ARENA_CONTEXT);
    CHECK(tarvex_context_mark(HEAP_CONTEXT) == 0);
    /* Without a timeline the marks return at once. */
    tarvex_frame_mark();
    tarvex_phase_mark("level loaded");

    count = tarvex_get_context_info(descs, 16);
    heap = find_desc(descs, count, HEAP_CONTEXT);
    CHECK(heap != NULL);
    if (heap != NULL) {
        CHECK(heap->fragments == 0 && heap->usage == 0);
        /* The moved block was allocated before the old one went. */
        CHECK(heap->usage_peak == 700 && heap->fragments_peak == 4);
    }

    /* A budget reads back as set; a scope counts the blocks since its token. */
    {
        uint32_t soft = 0, hard = 0, token;
        void* scoped;
        tarvex_set_context_budget(HEAP_CONTEXT, 100000, 200000);
        tarvex_get_context_budget(HEAP_CONTEXT, &soft, &hard);
        CHECK(soft == 100000 && hard == 200000);
        token = tarvex_scope_begin(HEAP_CONTEXT);
        scoped = tarvex_std_alloc(32, HEAP_CONTEXT);
        CHECK(tarvex_scope_end(HEAP_CONTEXT, token, NULL) == 1);
        tarvex_std_free(scoped, HEAP_CONTEXT);
        CHECK(tarvex_scope_end(HEAP_CONTEXT, token, NULL) == 0);
        tarvex_set_context_budget(HEAP_CONTEXT, 0, 0);
    }
    tarvex_run_gc();
}

static void check_plain_functions(void) {
    unsigned char* zeroed = (unsigned char*)tarvex_calloc(10, 12);
    void* plain = tarvex_malloc(16);
    CHECK(zeroed != NULL && zeroed[0] == 0 && zeroed[119] == 0);
    CHECK(plain != NULL);
    plain = tarvex_realloc(plain, 400);
    CHECK(plain != NULL);
    tarvex_free(plain);
    tarvex_free(zeroed);
}

static void check_breakpoint(void) {
    tarvex_breakpoint set = {0, SMALL_CONTEXT, 24, 0};
    tarvex_breakpoint got = {1, 1, 1, 1};
    void* hit;
    void* miss;

    tarvex_set_break_func(on_break);
    tarvex_set_breakpoint(&set);
    tarvex_get_breakpoint(&got);
    CHECK(got.alloc_id == 0 && got.context_id == SMALL_CONTEXT);
    CHECK(got.min_size == 24 && got.max_size == 0);

    hit = tarvex_std_alloc(24, SMALL_CONTEXT);
    CHECK(break_calls == 1);
    CHECK(last_break.context_id == SMALL_CONTEXT && last_break.size == 24);
    CHECK(last_break.address == hit && last_break.reserved == 0);
    CHECK_STR(last_break.info, "");
    CHECK(last_break.alloc_id + 1 == tarvex_get_checkpoint());
    miss = tarvex_std_alloc(32, SMALL_CONTEXT);
    CHECK(break_calls == 1);
    tarvex_std_free(hit, SMALL_CONTEXT); /* a matching release breaks too */
    CHECK(break_calls == 2);
    tarvex_std_free(miss, SMALL_CONTEXT);

    /* Null takes the break function out again. */
    tarvex_set_break_func(NULL);
    hit = tarvex_std_alloc(24, SMALL_CONTEXT);
    tarvex_std_free(hit, SMALL_CONTEXT);
    CHECK(break_calls == 2);

    set.context_id = 0;
    set.min_size = 0;
    tarvex_set_breakpoint(&set);
    tarvex_get_breakpoint(&got);
    CHECK(got.alloc_id == 0 && got.context_id == 0 && got.min_size == 0 && got.max_size == 0);
    tarvex_set_breakpoint(NULL);
    tarvex_get_breakpoint(NULL);
}

static void check_log_sink(void) {
    static char host_block[16];
    unsigned before;
    void* block;

    /* An unknown context: error 7, whose flag is true. (An allocation
     * there would be tracked, and listed as a leak, at address 0.) */
    CHECK(tarvex_std_size(host_block, UNKNOWN_CONTEXT) == 0);
    CHECK(context_not_set_flag == 1);
    /* Removing an untracked block: error 4, whose flag is false. */
    tarvex_mem_track_remove(HEAP_CONTEXT, host_block);
    CHECK(invalid_pointer_flag == 0);

    /* Null silences; a later sink sees nothing of what was dropped. */
    tarvex_set_log_func(NULL);
    before = log_lines;
    tarvex_std_size(host_block, UNKNOWN_CONTEXT);
    tarvex_set_log_func(on_log);
    CHECK(log_lines == before);

    /* Blocks the host owns itself can be tracked too. */
    tarvex_mem_track_add(HEAP_CONTEXT, host_block, 16, "host block");
    tarvex_mem_track_set_info(HEAP_CONTEXT, host_block, "host block, renamed");
    before = log_lines;
    tarvex_mem_track_remove(HEAP_CONTEXT, host_block);
    CHECK(log_lines == before);

    /* The allocation log: the next event only. */
    tarvex_enable_logging(1);
    block = tarvex_std_alloc(8, HEAP_CONTEXT);
    tarvex_std_free(block, HEAP_CONTEXT);
    CHECK(allocation_lines == 1);
    tarvex_enable_logging(0xffffffffu);
    block = tarvex_std_alloc(8, HEAP_CONTEXT);
    tarvex_disable_logging();
    tarvex_std_free(block, HEAP_CONTEXT);
    CHECK(allocation_lines == 2);
}

static void check_counters(void) {
    tarvex_counter counters[8];
    uint32_t count;
    uint32_t i;
    int found = 0;

    CHECK(tarvex_inc_counter("frames", 5) == 5);
    CHECK(tarvex_inc_counter("frames", -3) == 2);
    CHECK(tarvex_get_counter("frames") == 2);
    CHECK(tarvex_inc_counter("enemies", 7) == 7);
    count = tarvex_get_counter_info(counters, 8);
    CHECK(count == 2);
    for (i = 0; i < count && i < 8; ++i) {
        if (counters[i].name != NULL && strcmp(counters[i].name, "frames") == 0) {
            found = 1;
            CHECK(counters[i].count == 2 && counters[i].peak == 5 && counters[i].id != 0);
        }
    }
    CHECK(found);
    CHECK_STR(counters[0].name, "enemies");
    CHECK(tarvex_get_counter_info(counters, 0) == 0);
}

static void check_pools(void) {
    static char buffer[64];
    tarvex_fragment_pool* fragments;
    tarvex_grow_only_pool* arena;
    tarvex_grow_only_pool* buffered;
    tarvex_string_pool* strings;
    char* first;
    char* second;
    const char* copy;
    void* x;
    void* y;
    void* z;

    fragments = tarvex_fragment_pool_create(0, 24, 8, 8, HEAP_CONTEXT);
    CHECK(fragments != NULL);
    x = tarvex_fragment_pool_alloc(fragments);
    y = tarvex_fragment_pool_alloc(fragments);
    CHECK(x != NULL && y != NULL && x != y);
    CHECK(((uintptr_t)x & 7u) == 0 && ((uintptr_t)y & 7u) == 0);
    tarvex_fragment_pool_free(fragments, x);
    z = tarvex_fragment_pool_alloc(fragments);
    CHECK(z == x);
    tarvex_fragment_pool_free(fragments, y);
    tarvex_fragment_pool_free(fragments, z);
    tarvex_fragment_pool_run_gc(fragments); /* the wholly free block goes */
    x = tarvex_fragment_pool_alloc(fragments);
    CHECK(x != NULL);
    tarvex_fragment_pool_clear(fragments);
    tarvex_fragment_pool_destroy(fragments);

    arena = tarvex_grow_only_pool_create(256, HEAP_CONTEXT);
    CHECK(arena != NULL);
    first = (char*)tarvex_grow_only_pool_alloc(arena, 100);
    second = (char*)tarvex_grow_only_pool_alloc(arena, 100);
    CHECK(first != NULL && second == first + 100);
    tarvex_grow_only_pool_clear(arena);
    CHECK(tarvex_grow_only_pool_alloc(arena, 300) != NULL);
    tarvex_grow_only_pool_destroy(arena);

    buffered = tarvex_grow_only_pool_create_with_buffer(buffer, sizeof(buffer), 256, HEAP_CONTEXT);
    CHECK(buffered != NULL);
    CHECK(tarvex_grow_only_pool_alloc(buffered, 16) == (void*)buffer);
    CHECK(tarvex_grow_only_pool_alloc(buffered, 48) == (void*)(buffer + 16));
    CHECK(tarvex_grow_only_pool_alloc(buffered, 1) != NULL); /* a block of its own */
    tarvex_grow_only_pool_destroy(buffered);

    strings = tarvex_string_pool_create(0, 4096, HEAP_CONTEXT);
    CHECK(strings != NULL);
    copy = tarvex_string_pool_add(strings, "abc");
    CHECK_STR(copy, "abc");
    CHECK(copy != tarvex_string_pool_add(strings, "abc"));
    CHECK(tarvex_string_pool_add(strings, NULL) == tarvex_string_pool_add(strings, ""));
    CHECK_STR(tarvex_string_pool_add(strings, NULL), "");
    tarvex_string_pool_clear(strings);
    tarvex_string_pool_destroy(strings);

    /* A null handle gives null, 0 or nothing. */
    CHECK(tarvex_fragment_pool_alloc(NULL) == NULL);
    tarvex_fragment_pool_free(NULL, buffer);
    tarvex_fragment_pool_run_gc(NULL);
    tarvex_fragment_pool_clear(NULL);
    tarvex_fragment_pool_destroy(NULL);
    CHECK(tarvex_grow_only_pool_alloc(NULL, 8) == NULL);
    tarvex_grow_only_pool_clear(NULL);
    tarvex_grow_only_pool_destroy(NULL);
    CHECK(tarvex_string_pool_add(NULL, "abc") == NULL);
    tarvex_string_pool_clear(NULL);
    tarvex_string_pool_destroy(NULL);
}

static char report[64 * 1024];

static const char* read_file(const char* name) {
    size_t length = 0;
    FILE* file = fopen(name, "rb");
    report[0] = '\0';
    if (file == NULL) return report;
    length = fread(report, 1, sizeof(report) - 1, file);
    report[length] = '\0';
    fclose(file);
    return report;
}

static void check_dumps(void) {
    const uint32_t checkpoint = tarvex_get_checkpoint();
    void* level = consumer_load_level();
    const char* text;

    tarvex_dump_state("level.xml", checkpoint);
    text = read_file("level.xml");
    CHECK(contains(text, "<Allocations Count=\"1\" />"));
    CHECK(contains(text, "<Context Name=\"C heap\" Id=\"0x7300\" Fragments=\"1\""));
    CHECK(contains(text, "Info=\"level block\""));
    CHECK_NAMED(contains(text, "Function=\"consumer_load_level\""));
    if (!contains(text, "Function=\"consumer_load_level\"")) printf("level.xml:\n%s\n", text);
    tarvex_std_free(level, HEAP_CONTEXT);
    tarvex_dump_state(NULL, 0);

    consumer_report_stack();
    CHECK(stack_dump_started);
    CHECK_NAMED(stack_names_reporter);

#if defined(_WIN32)
    CHECK(tarvex_mini_dump(NULL, "consumer.dmp") == 1);
    text = read_file("consumer.dmp");
    CHECK(text[0] == 'M' && text[1] == 'D' && text[2] == 'M' && text[3] == 'P');
#else
    CHECK(tarvex_mini_dump(NULL, "consumer.dmp") == 0);
#endif
}

static void check_classic(void) {
    void* handle = TXInit(256, 0);
    CHECK(handle != NULL);
    CHECK(TXGetStor(handle, 16) != NULL);
    CHECK(TXFreeBlock(handle) == 0);
}

static int run(void) {
    tarvex_set_log_func(on_log);

    /* Counted: this pair builds and tears down nothing. */
    tarvex_init();
    tarvex_shutdown();

    check_contexts();
    check_plain_functions();
    check_breakpoint();
    check_log_sink();
    check_counters();
    check_pools();
    check_dumps();
    check_classic();

    /* The one block the exit-time report must list. */
    consumer_leak();

    printf(failures == 0 ? "scenario passed\n" : "scenario failed\n");
    fflush(NULL);
    return failures == 0 ? 0 : 1;
}

#if defined(CONSUMER_FREESTANDING)
/* The entry point (lld-link /entry:consumer_entry). ExitProcess detaches
 * the DLLs, and tarvex.dll writes its leak report on the way out. */
void __cdecl consumer_entry(void) {
    ExitProcess((unsigned int)run());
}
#else
int main(void) {
    return run();
}
#endif
