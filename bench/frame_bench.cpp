// The rows shaped like a game (bench/frame_workload.h), each beside its
// anchors in the same run:
// - interleaved/flags<F>/contexts:<K>: one thread, each allocation of a batch
//   served by the next of K small-block contexts in turn;
// - engine_frame/<set>/threads:<T>: the engine frame on one and two threads,
//   through Tarvex's contexts (shared ones with thread caches, and without:
//   tarvex_locked), malloc, mimalloc, and mimalloc with a heap per context
//   and thread;
// - frame_arena/<set>: 1,000 scratch blocks of 16 bytes to 1 KiB a frame,
//   all given back at its end: a grow-only context reset, malloc and free of
//   each block, and std::pmr's monotonic buffer resource released.
// Times are per allocation and its release.
#include <memory_resource>
#include <vector>

#include "bench_workload.h"
#include "frame_workload.h"
#include "mimalloc_baseline.h"
#include "tarvex/tarvex.h"

namespace {

using bench::Kind;

// ---------------------------------------------------------------------------
// Contexts in turn
// ---------------------------------------------------------------------------

constexpr uint32_t most_interleaved = 8;
constexpr uint32_t interleaved_base[2] = {0x5c0000, 0x5c1000};  // flags 0, flags 1

void make_interleaved_contexts() {
    static const bool made = [] {
        for (uint16_t flags = 0; flags < 2; ++flags) {
            for (uint32_t k = 0; k < most_interleaved; ++k) {
                Tarvex::ContextBase base("Bench interleaved", interleaved_base[flags] + k * 0x10,
                                         Tarvex::SmallBlkList);
                base.flags = flags;
                Tarvex::context_init(base);
            }
        }
        return true;
    }();
    (void)made;
}

void interleaved(benchmark::State& state, uint16_t flags) {
    make_interleaved_contexts();
    const uint32_t contexts = static_cast<uint32_t>(state.range(0));
    uint32_t ids[bench::batch];
    for (int i = 0; i < bench::batch; ++i)
        ids[i] = interleaved_base[flags] + (static_cast<uint32_t>(i) % contexts) * 0x10;
    void* blocks[bench::batch];
    const auto& size = bench::sizes();
    for (auto _ : state) {
        for (int i = 0; i < bench::batch; ++i) blocks[i] = Tarvex::std_alloc(size[i], ids[i]);
        benchmark::DoNotOptimize(blocks);
        for (int i = bench::batch; i-- > 0;) Tarvex::std_free(blocks[i], ids[i]);
    }
    state.SetItemsProcessed(state.iterations() * bench::batch);
}

// ---------------------------------------------------------------------------
// The engine frame
// ---------------------------------------------------------------------------

// mimalloc with a heap for each context (heaps belong to one thread, so each
// thread has its own): scratch goes with its heap at the frame's end.
class MimallocHeapsFrame {
public:
    MimallocHeapsFrame()
        : mi_(bench::mimalloc()),
          entities_(mi_.heap_new()),
          strings_(mi_.heap_new()),
          scratch_(mi_.heap_new()) {}
    ~MimallocHeapsFrame() {
        mi_.heap_destroy(entities_);
        mi_.heap_destroy(strings_);
        mi_.heap_destroy(scratch_);
    }
    void* alloc(Kind kind, uint32_t size) {
        switch (kind) {
            case Kind::entity:
                return mi_.heap_malloc(entities_, size);
            case Kind::text:
                return mi_.heap_malloc(strings_, size);
            case Kind::scratch:
                return mi_.heap_malloc(scratch_, size);
            case Kind::third_party:
                return mi_.malloc(size);
        }
        return nullptr;
    }
    void release(Kind kind, void* block, uint32_t) {
        if (kind != Kind::scratch) mi_.free(block);
    }
    void end_frame() {
        mi_.heap_destroy(scratch_);
        scratch_ = mi_.heap_new();
    }

private:
    bench::Mimalloc mi_;
    void* entities_;
    void* strings_;
    void* scratch_;
};

template <typename Set>
void run_frames(benchmark::State& state, Set& set) {
    {
        bench::FrameRunner<Set> runner(set);
        for (auto _ : state) runner.run_frame();
    }
    state.SetItemsProcessed(state.iterations() * bench::frame_steps);
}

void engine_frame_tarvex(benchmark::State& state) {
    bench::make_frame_contexts();
    bench::TarvexFrame<> set(state.thread_index());
    run_frames(state, set);
}

void engine_frame_tarvex_handles(benchmark::State& state) {
    bench::make_frame_contexts();
    bench::TarvexFrame<bench::ByHandle> set(state.thread_index());
    run_frames(state, set);
}

void engine_frame_tarvex_locked(benchmark::State& state) {
    bench::make_frame_contexts();
    bench::TarvexFrame<> set(state.thread_index(), false);
    run_frames(state, set);
}

void engine_frame_malloc(benchmark::State& state) {
    bench::HeapFrame set([](uint32_t n) { return std::malloc(n); }, [](void* p) { std::free(p); });
    run_frames(state, set);
}

void engine_frame_mimalloc(benchmark::State& state) {
    const bench::Mimalloc mi = bench::mimalloc();
    bench::HeapFrame set([mi](uint32_t n) { return mi.malloc(n); }, [mi](void* p) { mi.free(p); });
    run_frames(state, set);
}

void engine_frame_mimalloc_heaps(benchmark::State& state) {
    MimallocHeapsFrame set;
    run_frames(state, set);
}

// ---------------------------------------------------------------------------
// A frame's scratch arena
// ---------------------------------------------------------------------------

constexpr int scratch_blocks = 1000;
constexpr uint32_t frame_arena_id = 0x5c3000;

const std::vector<uint32_t>& scratch_sizes() {
    static const std::vector<uint32_t> sizes = bench::uniform_sizes(scratch_blocks, 16, 1024, 777);
    return sizes;
}

void make_frame_arena() {
    static const bool made = [] {
        Tarvex::ContextBase arena("Bench frame arena", frame_arena_id, Tarvex::GrowOnly);
        arena.flags = 0;
        arena.size_hint = 4 * 1024 * 1024;  // one block holds a frame
        Tarvex::context_init(arena);
        return true;
    }();
    (void)made;
}

template <typename Calls>
void frame_arena_tarvex(benchmark::State& state) {
    make_frame_arena();
    const Calls arena(frame_arena_id);
    const auto& sizes = scratch_sizes();
    for (auto _ : state) {
        for (uint32_t size : sizes) benchmark::DoNotOptimize(arena.alloc(size));
        Tarvex::context_reset(frame_arena_id);
    }
    state.SetItemsProcessed(state.iterations() * scratch_blocks);
}

void frame_arena_malloc(benchmark::State& state) {
    const auto& sizes = scratch_sizes();
    std::vector<void*> blocks(scratch_blocks);
    for (auto _ : state) {
        for (int i = 0; i < scratch_blocks; ++i) blocks[i] = std::malloc(sizes[i]);
        benchmark::DoNotOptimize(blocks.data());
        for (void* block : blocks) std::free(block);
    }
    state.SetItemsProcessed(state.iterations() * scratch_blocks);
}

void frame_arena_monotonic(benchmark::State& state) {
    const auto& sizes = scratch_sizes();
    std::pmr::monotonic_buffer_resource arena(1024 * 1024);
    for (auto _ : state) {
        for (uint32_t size : sizes) benchmark::DoNotOptimize(arena.allocate(size, 8));
        arena.release();
    }
    state.SetItemsProcessed(state.iterations() * scratch_blocks);
}

}  // namespace

int main(int argc, char** argv) {
    for (uint16_t flags = 0; flags < 2; ++flags) {
        const std::string name = "interleaved/flags" + std::to_string(flags);
        benchmark::RegisterBenchmark(name.c_str(), interleaved, flags)
            ->ArgName("contexts")
            ->Arg(1)
            ->Arg(2)
            ->Arg(4)
            ->Arg(8);
    }
    const std::pair<const char*, void (*)(benchmark::State&)> frames[] = {
        {"engine_frame/tarvex", engine_frame_tarvex},
        {"engine_frame/tarvex_handles", engine_frame_tarvex_handles},
        {"engine_frame/tarvex_locked", engine_frame_tarvex_locked},
        {"engine_frame/malloc", engine_frame_malloc},
        {"engine_frame/mimalloc", engine_frame_mimalloc},
        {"engine_frame/mimalloc_heaps", engine_frame_mimalloc_heaps},
    };
    for (const auto& [name, run] : frames)
        benchmark::RegisterBenchmark(name, run)->Threads(1)->Threads(2)->UseRealTime();
    benchmark::RegisterBenchmark("frame_arena/tarvex", frame_arena_tarvex<bench::ById>);
    benchmark::RegisterBenchmark("frame_arena/tarvex_handle", frame_arena_tarvex<bench::ByHandle>);
    benchmark::RegisterBenchmark("frame_arena/malloc", frame_arena_malloc);
    benchmark::RegisterBenchmark("frame_arena/monotonic", frame_arena_monotonic);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
