#include "base/library_state.h"

#include "base/building_blocks.h"
#include "base/errors.h"

// ---------------------------------------------------------------------------
// The lock slot
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {
void system_enter(LockSlot* slot) {
    platform::lock_enter(&slot->section);
}
void system_leave(LockSlot* slot) {
    platform::lock_leave(&slot->section);
}
}  // namespace

void lock_slot_create(LockSlot* slot) {
    platform::lock_create(&slot->section, lock_spin_count);
    slot->enter = system_enter;
    slot->leave = system_leave;
}

void lock_slot_destroy(LockSlot* slot) {
    TARVEX_CHECK(!platform::lock_held_by_current_thread(&slot->section),
                 "a lock is not held when it is destroyed");
    platform::lock_destroy(&slot->section);
}

void lock_slot_switch_off(LockSlot* slot) {
    slot->enter = no_lock;
    slot->leave = no_lock;
}

void no_lock(LockSlot*) {}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The library's names
// ---------------------------------------------------------------------------

namespace tarvex {

const char* const static_names[5] = {"", "N/A", "Global Context", "Tarvex", "Init Data Context"};

bool is_static_name(const char* text) {
    for (const char* name : static_names) {
        if (text == name) return true;
    }
    return false;
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The library's state
// ---------------------------------------------------------------------------

namespace tarvex {

std::atomic<uint32_t> init_count{0};
std::atomic<int32_t> back_trace_mode{0};
std::atomic<uint32_t> library_generation{0};

namespace {
struct LibraryLock {
    LockSlot slot;
    LibraryLock() { lock_slot_create(&slot); }
};
}  // namespace

LockSlot& library_lock() {
    return lasting<LibraryLock>().slot;
}

bool library_lock_held() {
    return platform::lock_held_by_current_thread(&library_lock().section);
}

}  // namespace tarvex
