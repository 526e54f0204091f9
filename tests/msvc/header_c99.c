/* The C interface's header on its own, compiled as C99 and as C++ with every
 * warning an error (see CMakeLists.txt): it must need nothing but itself. */
#include "tarvex/tarvex_c.h"

#if UINTPTR_MAX == 0xffffffffu
/* The documented 32-bit layouts (C99 has no static_assert). */
typedef char context_desc_is_40_bytes[sizeof(tarvex_context_desc) == 40 ? 1 : -1];
typedef char type_follows_reserved[offsetof(tarvex_context_desc, type) == 8 ? 1 : -1];
typedef char id_is_last[offsetof(tarvex_context_desc, id) == 36 ? 1 : -1];
typedef char counter_is_16_bytes[sizeof(tarvex_counter) == 16 ? 1 : -1];
typedef char breakpoint_is_16_bytes[sizeof(tarvex_breakpoint) == 16 ? 1 : -1];
typedef char track_entry_is_88_bytes[sizeof(tarvex_track_entry) == 88 ? 1 : -1];
typedef char frames_follow_info[offsetof(tarvex_track_entry, frames) == 24 ? 1 : -1];
#endif

static void TARVEX_CDECL log_sink(const char* text, int flag) {
    (void)text;
    (void)flag;
}

static void TARVEX_CDECL break_sink(const tarvex_track_entry* entry) {
    (void)entry;
}

int header_c99_use(void);

int header_c99_use(void) {
    tarvex_context_desc desc;
    tarvex_breakpoint breakpoint = {0, 0, 0, 0};
    tarvex_fragment_pool* pool = tarvex_fragment_pool_create(0, 16, 8, 4, TARVEX_GLOBAL_CONTEXT);
    tarvex_context_desc_init(&desc, "C99", 0x99u, TARVEX_GROW_ONLY);
    tarvex_context_init(&desc);
    tarvex_set_breakpoint(&breakpoint);
    tarvex_set_log_func(log_sink);
    tarvex_set_break_func(break_sink);
    tarvex_fragment_pool_destroy(pool);
    return (int)tarvex_get_checkpoint();
}
