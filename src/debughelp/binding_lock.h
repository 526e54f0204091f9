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

#include "platform/platform.h"

namespace tarvex {

class BindingLockHolder {
public:
    BindingLockHolder();
    ~BindingLockHolder();
    BindingLockHolder(const BindingLockHolder&) = delete;
    BindingLockHolder& operator=(const BindingLockHolder&) = delete;
};

class FrameCacheLockHolder {
public:
    FrameCacheLockHolder();
    ~FrameCacheLockHolder();
    FrameCacheLockHolder(const FrameCacheLockHolder&) = delete;
    FrameCacheLockHolder& operator=(const FrameCacheLockHolder&) = delete;
};

}  // namespace tarvex
