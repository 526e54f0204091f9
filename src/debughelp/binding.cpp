#include "debughelp/binding.h"

#include <atomic>

#include "base/building_blocks.h"
#include "debughelp/debug_help.h"
#include "debughelp/symbol_lookup.h"

// ---------------------------------------------------------------------------
// The binding's locks
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

// Created on first use and never destroyed, so a start, stop or lookup at
// process detach never meets a dead lock. One per tag.
struct LastingLock {
    platform::SystemLock lock;
    LastingLock() { platform::lock_create(&lock, 0); }
};

template <typename Tag>
platform::SystemLock& lasting_lock() {
    return lasting<LastingLock, Tag>().lock;
}

struct BindingTag;
struct FrameCacheTag;

}  // namespace

BindingLockHolder::BindingLockHolder() {
    platform::lock_enter(&lasting_lock<BindingTag>());
}

BindingLockHolder::~BindingLockHolder() {
    platform::lock_leave(&lasting_lock<BindingTag>());
}

BindingLockAttempt::BindingLockAttempt()
    : held_(platform::lock_try_enter(&lasting_lock<BindingTag>())) {}

BindingLockAttempt::~BindingLockAttempt() {
    if (held_) platform::lock_leave(&lasting_lock<BindingTag>());
}

FrameCacheLockHolder::FrameCacheLockHolder() {
    platform::lock_enter(&lasting_lock<FrameCacheTag>());
}

FrameCacheLockHolder::~FrameCacheLockHolder() {
    platform::lock_leave(&lasting_lock<FrameCacheTag>());
}

void enter_debug_help_locks() {
    platform::lock_enter(&lasting_lock<BindingTag>());
    platform::lock_enter(&lasting_lock<FrameCacheTag>());
}

void leave_debug_help_locks() {
    platform::lock_leave(&lasting_lock<FrameCacheTag>());
    platform::lock_leave(&lasting_lock<BindingTag>());
}

bool binding_lock_held() {
    return platform::lock_held_by_current_thread(&lasting_lock<BindingTag>());
}

bool frame_cache_lock_held() {
    return platform::lock_held_by_current_thread(&lasting_lock<FrameCacheTag>());
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The binding's count
//
// The counted start and stop of the binding, shared by both back ends.
// ---------------------------------------------------------------------------

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
