// The two locks of the debug-help binding.
//
// The binding lock guards the system's debug-help services, which are not
// thread-safe; the mini dump uses them without the library lock (it may run
// in a fault handler while another thread holds that lock). Symbol and
// module lookups made under it may wait for the system loader's lock, so a
// thread that holds the library lock never takes it, except at the final
// shutdown (see registry/registry.h for the rule).
//
// The frame-cache lock guards the cache of resolved frames. It is a leaf:
// nothing but the runtime heap is called while it is held, so readers under
// the library lock may take it while a lookup elsewhere waits for the loader.
//
// Lock order: the library lock, then the binding lock, then the frame-cache
// lock.
#pragma once

#include "base/errors.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The binding's locks
// ---------------------------------------------------------------------------

namespace tarvex {

class BindingLockHolder {
public:
    BindingLockHolder();
    ~BindingLockHolder();
    BindingLockHolder(const BindingLockHolder&) = delete;
    BindingLockHolder& operator=(const BindingLockHolder&) = delete;
};

// Takes the binding lock only when that needs no wait; a capture under the
// library lock may not wait for a lookup that waits for the loader.
class BindingLockAttempt {
public:
    BindingLockAttempt();
    ~BindingLockAttempt();
    BindingLockAttempt(const BindingLockAttempt&) = delete;
    BindingLockAttempt& operator=(const BindingLockAttempt&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

class FrameCacheLockHolder {
public:
    FrameCacheLockHolder();
    ~FrameCacheLockHolder();
    FrameCacheLockHolder(const FrameCacheLockHolder&) = delete;
    FrameCacheLockHolder& operator=(const FrameCacheLockHolder&) = delete;
};

// Both locks, in the lock order, for a fork: entered, and left again.
void enter_debug_help_locks();
void leave_debug_help_locks();

// Whether the calling thread holds each lock; for checks.
bool binding_lock_held();
bool frame_cache_lock_held();

}  // namespace tarvex

#define TARVEX_CHECK_BINDING_LOCK() \
    TARVEX_CHECK(::tarvex::binding_lock_held(), "the binding lock is held")
#define TARVEX_CHECK_FRAME_CACHE_LOCK() \
    TARVEX_CHECK(::tarvex::frame_cache_lock_held(), "the frame-cache lock is held")
