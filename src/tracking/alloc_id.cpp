#include "tracking/alloc_id.h"

#include "base/library_state.h"
#include "tarvex/tarvex.h"

namespace tarvex {

namespace {
// Guarded by the library lock.
uint32_t next_alloc_id = 0;
}  // namespace

uint32_t peek_next_alloc_id() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return next_alloc_id;
}

uint32_t take_next_alloc_id() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return next_alloc_id++;
}

}  // namespace tarvex

uint32_t Tarvex::get_checkpoint() {
    tarvex::LockHolder hold(tarvex::library_lock());
    return tarvex::peek_next_alloc_id();
}
