// Start-up and shutdown. Both are counted: only the first init builds and
// only the shutdown that brings the count back to 0 tears down.
#include <cstdio>

#include "base/errors.h"
#include "base/library_state.h"
#include "config/config_file.h"
#include "contexts/builtin_contexts.h"
#include "contexts/thread_cache.h"
#include "counters/counters.h"
#include "debughelp/binding.h"
#include "debughelp/debug_help.h"
#include "registry/handles.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/leak_report.h"
#include "tracking/live_stream.h"
#include "tracking/timeline.h"
#include "tracking/track_table.h"
#include "tracking/tracking_entries.h"

using namespace tarvex;

namespace {

void init_builtin(BuiltinIndex index, StaticName name, uint32_t id) {
    init_context(builtin_context(index), Tarvex::ContextBase(static_names[name], id));
}

}  // namespace

namespace {

// Guarded by the library lock: "LogFile:" named a file that could not be
// opened, and nobody has been told yet.
bool log_file_refused = false;

// The refused log file is said once, through the sink: at the end of the
// start that read it or, when that start came before the attach set the
// sink, at the attach.
void report_refused_log_file() {
    LockHolder hold(library_lock());
    if (!log_file_refused || current_log_func() == nullptr) return;
    log_file_refused = false;
    char text[1100];
    std::snprintf(text, sizeof(text), "ERROR: Unable to open log file %.1000s",
                  log_file_configured());
    log_message(text);
}

// pre: the library lock is held. The build of the first init; false when the
// library was running already. Holding the lock, it makes a second init, or
// a call from another thread that needs the registry, wait until it has
// finished. Calls the build makes itself (a log sink that allocates) are
// served by the built-in runtime-heap contexts, constructed first (see
// start_in_progress).
bool build_library() {
    if (init_count.fetch_add(1, std::memory_order_acq_rel) != 0) return false;
    construct_builtin_contexts();
    start_in_progress = true;
    back_trace_mode.store(0, std::memory_order_relaxed);
    registry_link_builtins();
    context_cache.clear();
    forget_cache_indices();
    read_config();
    log_file_refused = log_file_configured()[0] != '\0' && !log_file_open(log_file_configured());

    if (back_trace_mode.load(std::memory_order_relaxed) > 0) install_tracking_entries();
    init_builtin(builtin_global, global_name, tarvex_ids::global_context);
    init_builtin(builtin_library, library_name, tarvex_ids::library_context);
    init_builtin(builtin_init_data, init_data_name, tarvex_ids::init_data_context);
    create_track_table();

    start_in_progress = false;
    // "Global Context" serves the plain functions of third-party code: at
    // hand from the start, without a lookup. Not in tracking mode: a call on
    // another thread that read the default occupant before this start put
    // the tracking variants in would find it there and go untracked, where a
    // miss sends it through the table again.
    if (back_trace_mode.load(std::memory_order_relaxed) == 0)
        context_cache.remember(&global_context());
    // Published last: a call that finds the library started finds it built.
    library_generation.fetch_add(1, std::memory_order_release);
    return true;
}

// pre: the library lock is held, and the count has just come back to 0.
void tear_down_library() {
    char report_name[leak_file_name_capacity];
    write_leak_report(leak_file_name(report_name), 0);
    timeline_stop();
    release_counters();
    destroy_track_table();
    log_file_close();

    // A stray call after the final shutdown must not reach a context that is
    // about to be freed, nor a built-in one by the id it has now.
    context_cache.clear();
    forget_handles();
    registry_destroy_runtime_contexts();

    init_data_context().shutdown();
    global_context().shutdown();
    library_context().shutdown();
}

bool back_traces_wanted() {
    return back_trace_mode.load(std::memory_order_relaxed) >= 2;
}

// Guarded by the library lock: a lazy start took a reference that the
// attach sequence has not adopted yet.
bool lazy_reference_held = false;

// Set by the final shutdown at the process's end, for good: the libraries
// finalised after this one may still allocate and release, so everything
// stays as it is and no later init or shutdown touches it.
std::atomic<bool> process_ended{false};

// pre: the library lock is held, and the count has just come back to 0 at
// the process's end. The report and the timeline are complete, and tracking
// stops. Every context goes on serving, untracked: the destructors of
// libraries finalised later walk containers whose nodes are theirs, free
// them, and sometimes allocate; the system takes the memory with the
// process.
void finish_at_process_end() {
    char report_name[leak_file_name_capacity];
    write_leak_report(leak_file_name(report_name), 0);
    timeline_stop();
    uninstall_tracking_entries();
    process_ended.store(true, std::memory_order_release);
}

}  // namespace

void Tarvex::init() {
    if (process_ended.load(std::memory_order_acquire)) return;
    bool built;
    {
        LockHolder hold(library_lock());
        built = build_library();
    }
    // Binding loads system libraries, which takes the loader's lock: not
    // under the library lock (a lazy start, whose caller still holds it, is
    // the exception). Until it is live, captures record no frames.
    if (built && back_traces_wanted()) start_debug_help();
    // The timeline lists the loaded modules as it starts: outside the lock.
    // A live view streams the timeline, also without a file.
    const bool tracking = back_trace_mode.load(std::memory_order_relaxed) > 0;
    if (built && tracking && live_configured().on) live_stream_configure(live_configured());
    if (built && live_configured().on && !tracking)
        log_message("Live view: off, as it needs tracking (BackTraceMode: 1 or more)");
    if (built && tracking && (timeline_file_configured()[0] != '\0' || live_configured().on))
        timeline_start(timeline_file_configured());
    if (built) report_refused_log_file();
}

namespace {

// Gives one start-up reference back. The last one tears the library down,
// unless the process is ending: then it only finishes the report and the
// timeline, and everything goes on serving.
void release_reference(bool process_ending) {
    if (process_ended.load(std::memory_order_acquire)) return;
    {
        LockHolder hold(library_lock());
        if (init_count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        if (process_ending) {
            finish_at_process_end();
        } else {
            tear_down_library();
        }
    }
    // The timeline's last chunk goes to the viewer, outside the lock.
    live_stream_close();
    if (process_ending) return;
    // Only the start this run made: a run without back traces stops nothing.
    // Unloading takes the loader's lock, so it waits for the library lock's
    // release.
    if (back_traces_wanted()) stop_debug_help();
}

}  // namespace

void Tarvex::shutdown() {
    release_reference(false);
}

namespace tarvex {

namespace {

// A lazy start before the attach (a library's static constructor that
// allocated, in a process whose global new is ours) took the reference the
// attach would take: the attach adopts it, so that the detach that ends the
// process is still the final shutdown and writes the report. A start the
// game made with init stays the game's to end.
void on_process_attach() {
    bool adopted;
    {
        LockHolder hold(library_lock());
        adopted = lazy_reference_held;
        lazy_reference_held = false;
    }
    if (!adopted) Tarvex::init();
    library_context_init(
        Tarvex::ContextBase("String data", tarvex_ids::string_data, Tarvex::SmallBlkList));
    // A sink the game set before the attach stays.
    if (current_log_func() == nullptr) set_log_func(debug_log);
    report_refused_log_file();
}

void on_process_detach(bool process_ending) {
    release_reference(process_ending);
}

// pre: the library lock is held (by the lazy start that calls it). The
// start-up itself, its reference kept for the attach.
void start_lazily() {
    TARVEX_CHECK_LIBRARY_LOCK();
    Tarvex::init();
    lazy_reference_held = true;
}

// A forked child has one thread, the one that forked. A lock that another
// thread held at the fork would stay held for ever there, and the child's
// first call that needs it would wait for good. So the forking thread takes
// every lock of the library first, in the lock order (the library lock, each
// context's, then debug help's), and both processes let them go after.
void before_fork() {
    LockSlot& library = library_lock();
    library.enter(&library);
    registry_enter_context_locks();
    enter_debug_help_locks();
}

void after_fork_in_parent() {
    leave_debug_help_locks();
    registry_leave_context_locks();
    LockSlot& library = library_lock();
    library.leave(&library);
}

void after_fork_in_child() {
    // The parent's timeline is the parent's: the child writes none of it.
    timeline_forget_in_child();
    live_stream_forget_in_child();
    // The child's one thread is the forking thread, the locks' holder.
    after_fork_in_parent();
}

}  // namespace

// Constant-initialised: the system's first notification may come before any
// of the library's static objects are made.
const platform::SystemNotifications platform::system_notifications = {
    on_process_attach,    on_process_detach,   before_fork,
    after_fork_in_parent, after_fork_in_child, on_thread_exit,
};

void (*const lazy_start_hook)() = start_lazily;

}  // namespace tarvex
