#include "tracking/alloc_id.h"

namespace tarvex {

namespace {
// Guarded by the library lock.
uint32_t next_alloc_id = 0;
}  // namespace

uint32_t peek_next_alloc_id() { return next_alloc_id; }

uint32_t take_next_alloc_id() { return next_alloc_id++; }

}  // namespace tarvex
