// The counted start and stop of the binding, shared by both back ends.
#include <atomic>

#include "debughelp/binding_lock.h"
#include "debughelp/debug_help.h"
#include "debughelp/symbol_lookup.h"

namespace tarvex {

namespace {

// Starts not yet matched by a stop; guarded by the binding lock. Never below
// 0: a stop without a start (the final shutdown of a run without back
// traces) would otherwise make the next two starts bind twice, and the
// second one's stop unbind what the first still uses.
uint32_t start_count = 0;
// Read without a lock by every capture, so an allocation never waits for a
// lookup that waits for the loader.
std::atomic<bool> live{false};

}  // namespace

void start_debug_help() {
    BindingLockHolder hold;
    if (start_count++ != 0) return;
    live.store(bind_back_end(), std::memory_order_release);
}

void stop_debug_help() {
    BindingLockHolder hold;
    if (start_count == 0) return;
    if (--start_count != 0) return;
    live.store(false, std::memory_order_release);
    unbind_back_end();
}

bool debug_help_live() {
    return live.load(std::memory_order_acquire);
}

}  // namespace tarvex
