// A lock that can be switched off: a system lock followed by the two
// operations every caller goes through. A single-threaded context points both
// at `no_lock`, so its call sites pay two empty calls and test no flag.
#pragma once

#include "platform/platform.h"

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
