#include "support/failing_heap.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<int> successes_left{0};
std::atomic<int> failures_left{0};

bool take_failure() {
    int pass = successes_left.load();
    while (pass > 0) {
        if (successes_left.compare_exchange_weak(pass, pass - 1)) return false;
    }
    int left = failures_left.load();
    while (left > 0) {
        if (failures_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}
}  // namespace

void fail_next_mallocs(int count, int after) {
    failures_left.store(count);
    successes_left.store(after);
}

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);

extern "C" void* __wrap_malloc(size_t size) {
    return take_failure() ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    return take_failure() ? nullptr : __real_calloc(count, size);
}
