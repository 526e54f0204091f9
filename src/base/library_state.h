// The library's process-wide state: the start-up count, the tracking mode and
// the one library lock.
#pragma once

#include <stdint.h>

#include <atomic>

#include "base/errors.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The lock slot
//
// A lock that can be switched off: a system lock followed by the two
// operations every caller goes through. A single-threaded context points both
// at `no_lock`, so its call sites pay two empty calls and test no flag.
// ---------------------------------------------------------------------------

namespace tarvex {

struct LockSlot {
    platform::SystemLock section;
    void (*enter)(LockSlot* slot);
    void (*leave)(LockSlot* slot);
};

// Every lock of the library spins this often before it sleeps.
constexpr uint32_t lock_spin_count = 2000;

// Creates the system lock and points both operations at it.
void lock_slot_create(LockSlot* slot);
// pre: the slot was created and is not held.
void lock_slot_destroy(LockSlot* slot);
// Switches the slot off for good; the system lock stays until destroyed.
void lock_slot_switch_off(LockSlot* slot);

void no_lock(LockSlot* slot);

// Holds a slot for one scope and leaves it on every path.
class LockHolder {
public:
    explicit LockHolder(LockSlot& slot) : slot_(slot) { slot_.enter(&slot_); }
    ~LockHolder() { slot_.leave(&slot_); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    LockSlot& slot_;
};

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The library's names
//
// The five names that belong to the library. They are told apart from equal
// texts by their address, so they are never copied and never released.
// ---------------------------------------------------------------------------

namespace tarvex {

enum StaticName { empty_name, not_available_name, global_name, library_name, init_data_name };

extern const char* const static_names[5];

bool is_static_name(const char* text);

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The library's state
// ---------------------------------------------------------------------------

namespace tarvex {

// Start-up calls not yet matched by a shutdown; non-zero means running.
extern std::atomic<uint32_t> init_count;

// "BackTraceMode" of tarvex.ini: 0 no tracking, 1 tracking, 2 and up with
// stack back-traces.
extern std::atomic<int32_t> back_trace_mode;

inline bool library_running() {
    return init_count.load(std::memory_order_acquire) != 0;
}

// Every full start takes the next generation, published once the start has
// built everything; 0 only before the first start. A record of a context
// kept anywhere outside the registry (the context cache, a thread's caches)
// is good only for the generation it was made in: each start makes the
// built-in contexts anew at the same addresses.
extern std::atomic<uint32_t> library_generation;

inline bool library_ever_started() {
    return library_generation.load(std::memory_order_acquire) != 0;
}

// The library lock, re-entrant. It is created on first use and lives as long
// as the loaded library, so a call before start-up or after the final
// shutdown never meets a dead lock.
LockSlot& library_lock();

// Whether the calling thread holds the library lock; for checks.
bool library_lock_held();

}  // namespace tarvex

// Checks the most common precondition of the library's internal routines.
#define TARVEX_CHECK_LIBRARY_LOCK() \
    TARVEX_CHECK(::tarvex::library_lock_held(), "the library lock is held")
