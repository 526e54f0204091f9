#include "debughelp/binding_lock.h"

#include <new>

namespace tarvex {

namespace {

// Created on first use and never destroyed, so a start, stop or lookup at
// process detach never meets a dead lock. One per tag.
template <typename Tag>
platform::SystemLock& lasting_lock() {
    alignas(platform::SystemLock) static unsigned char storage[sizeof(platform::SystemLock)];
    static platform::SystemLock* const lock = [] {
        platform::SystemLock* made = new (storage) platform::SystemLock;
        platform::lock_create(made, 0);
        return made;
    }();
    return *lock;
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
