#include "base/lock_slot.h"

#include "base/checks.h"

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
