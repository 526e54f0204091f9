#include "debughelp/binding_lock.h"

#include <new>

namespace tarvex {

namespace {

// Created on first use and never destroyed, so a start or stop at process
// detach never meets a dead lock.
platform::SystemLock& binding_lock() {
    alignas(platform::SystemLock) static unsigned char storage[sizeof(platform::SystemLock)];
    static platform::SystemLock* const lock = [] {
        platform::SystemLock* made = new (storage) platform::SystemLock;
        platform::lock_create(made, 0);
        return made;
    }();
    return *lock;
}

}  // namespace

BindingLockHolder::BindingLockHolder() {
    platform::lock_enter(&binding_lock());
}

BindingLockHolder::~BindingLockHolder() {
    platform::lock_leave(&binding_lock());
}

}  // namespace tarvex
