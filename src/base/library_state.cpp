#include "base/library_state.h"

#include <new>

namespace tarvex {

std::atomic<uint32_t> init_count{0};
std::atomic<int32_t> back_trace_mode{0};
std::atomic<uint32_t> library_generation{0};

namespace {
LockSlot* make_library_lock() {
    alignas(LockSlot) static unsigned char storage[sizeof(LockSlot)];
    LockSlot* slot = new (storage) LockSlot;
    lock_slot_create(slot);
    return slot;
}
}  // namespace

LockSlot& library_lock() {
    // A function-local static is created once, safely, by whichever thread
    // gets here first, and is never destroyed.
    static LockSlot* const slot = make_library_lock();
    return *slot;
}

bool library_lock_held() {
    return platform::lock_held_by_current_thread(&library_lock().section);
}

}  // namespace tarvex
