#include "contexts/mem_context.h"

#include "base/errors.h"
#include "base/library_state.h"
#include "platform/platform.h"

namespace tarvex {

MemContext::MemContext() : Tarvex::ContextBase(), owner_thread(0) {
    lock_slot_create(&lock);
}

MemContext::~MemContext() {
    lock_slot_destroy(&lock);
}

void MemContext::run_gc() {}

void MemContext::init(const Tarvex::ContextBase& base) {
    static_cast<Tarvex::ContextBase&>(*this) = base;
    if ((flags & Tarvex::multi_threaded) == 0) lock_slot_switch_off(&lock);
    name = copy_name(base.name);
}

void MemContext::shutdown() {
    release_name(name);
    static_cast<Tarvex::ContextBase&>(*this) = Tarvex::ContextBase();
    flags = 0;
}

bool MemContext::check_owner_thread() {
    TARVEX_CHECK_LIBRARY_LOCK();
    // Any flag bit exempts the context, not only multi_threaded.
    if (flags != 0) return false;
    const uint32_t self = platform::current_thread_id();
    if (self == owner_thread) return false;
    if (owner_thread == 0) {
        owner_thread = self;
        return false;
    }
    report_error(error_single_thread_misuse);
    return true;
}

}  // namespace tarvex
