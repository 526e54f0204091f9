// The lock around the system's debug-help services. They are not
// thread-safe, and the mini dump uses them without the library lock (it may
// run in a fault handler while another thread holds that lock). Lock order:
// the library lock, when held, is always taken before this one.
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

}  // namespace tarvex
