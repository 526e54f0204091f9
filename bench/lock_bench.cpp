// The floor of every locked context operation: one uncontended enter and
// leave of the platform lock, created as the library creates its locks.
// Linked against the object library, which holds the platform layer.
#include <benchmark/benchmark.h>

#include "base/library_state.h"
#include "platform/platform.h"

namespace {

void lock_pair(benchmark::State& state) {
    tarvex::platform::SystemLock lock;
    tarvex::platform::lock_create(&lock, tarvex::lock_spin_count);
    for (auto _ : state) {
        tarvex::platform::lock_enter(&lock);
        benchmark::ClobberMemory();
        tarvex::platform::lock_leave(&lock);
    }
    state.SetItemsProcessed(state.iterations());
    tarvex::platform::lock_destroy(&lock);
}
BENCHMARK(lock_pair);

}  // namespace

BENCHMARK_MAIN();
