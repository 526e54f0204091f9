#include "support/failing_heap.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<int> failures_left{0};
}

void fail_next_mallocs(int count) {
    failures_left.store(count);
}

extern "C" void* __real_malloc(size_t size);

extern "C" void* __wrap_malloc(size_t size) {
    int left = failures_left.load();
    while (left > 0) {
        if (failures_left.compare_exchange_weak(left, left - 1)) return nullptr;
    }
    return __real_malloc(size);
}
