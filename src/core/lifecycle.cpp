// Start-up and shutdown. Both are counted: only the first init builds and
// only the shutdown that brings the count back to 0 tears down.
#include "base/errors.h"
#include "base/library_state.h"
#include "base/static_names.h"
#include "config/config_file.h"
#include "contexts/builtin_contexts.h"
#include "counters/counters.h"
#include "debughelp/debug_help.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/leak_report.h"
#include "tracking/track_table.h"
#include "tracking/tracking_entries.h"

using namespace tarvex;

namespace {

void init_builtin(BuiltinIndex index, StaticName name, uint32_t id) {
    init_context(builtin_context(index), Tarvex::ContextBase(static_names[name], id));
}

}  // namespace

void Tarvex::init() {
    if (init_count.fetch_add(1, std::memory_order_acq_rel) != 0) return;
    back_trace_mode.store(0, std::memory_order_relaxed);
    library_lock();
    read_config();

    construct_builtin_contexts();
    registry_link_builtins();
    current_context.store(&global_context(), std::memory_order_release);
    if (back_trace_mode.load(std::memory_order_relaxed) > 0) install_tracking_entries();

    init_builtin(builtin_global, global_name, tarvex_ids::global_context);
    init_builtin(builtin_library, library_name, tarvex_ids::library_context);
    init_builtin(builtin_init_data, init_data_name, tarvex_ids::init_data_context);
    create_track_table();

    if (back_trace_mode.load(std::memory_order_relaxed) >= 2) start_debug_help();
}

void Tarvex::shutdown() {
    LockHolder hold(library_lock());
    if (init_count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;

    char report_name[leak_file_name_capacity];
    write_leak_report(leak_file_name(report_name), 0);
    release_counters();
    destroy_track_table();

    // A stray call after the final shutdown must not reach a context that is
    // about to be freed: the cache falls back to the built-in "Global Context".
    current_context.store(&global_context(), std::memory_order_release);
    registry_destroy_runtime_contexts();

    init_data_context().shutdown();
    global_context().shutdown();
    library_context().shutdown();

    // Only the start this run made: a run without back traces stops nothing.
    if (back_trace_mode.load(std::memory_order_relaxed) >= 2) stop_debug_help();
}

namespace tarvex {

void on_process_attach() {
    Tarvex::init();
    Tarvex::context_init(
        Tarvex::ContextBase("String data", tarvex_ids::string_data, Tarvex::SmallBlkList));
    set_log_func(debug_log);
}

void on_process_detach() {
    Tarvex::shutdown();
}

}  // namespace tarvex
