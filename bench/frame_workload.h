// The workloads shaped like a game, shared by the Linux benchmarks and the
// Windows timing loop: allocations spread over several contexts in turn, and
// an engine frame.
//
// An engine frame makes 600 blocks: entities (40..256 bytes) from a context
// shared by the worker threads, strings (8..512 bytes, most under 64) from a
// second, scratch (16 bytes..4 KiB) from an arena of the thread's own that is
// reset at the end of every frame, and third-party blocks (16 bytes..1 KiB)
// through malloc-shaped functions. Each frame releases what the frame before
// it made, as entities die and strings are replaced a frame later. The sizes
// and their order are the same in every frame and every run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace bench {

enum class Kind : uint8_t { entity, text, scratch, third_party };

struct Step {
    Kind kind;
    uint32_t size;
};

constexpr int frame_steps = 600;

inline const std::vector<Step>& frame() {
    static const std::vector<Step> steps = [] {
        std::mt19937 random(2024);
        // How many of each kind a frame makes, in a shuffled order.
        std::vector<Kind> kinds;
        kinds.insert(kinds.end(), 200, Kind::entity);
        kinds.insert(kinds.end(), 250, Kind::text);
        kinds.insert(kinds.end(), 100, Kind::scratch);
        kinds.insert(kinds.end(), 50, Kind::third_party);
        std::shuffle(kinds.begin(), kinds.end(), random);
        const auto between = [&](uint32_t low, uint32_t high) {
            return std::uniform_int_distribution<uint32_t>(low, high)(random);
        };
        std::vector<Step> v;
        for (Kind kind : kinds) {
            uint32_t size = 0;
            switch (kind) {
                case Kind::entity:
                    size = between(40, between(0, 3) == 0 ? 256 : 128);
                    break;
                case Kind::text:
                    size = between(0, 9) == 0 ? between(65, 512) : between(8, 64);
                    break;
                case Kind::scratch:
                    size = between(0, 4) == 0 ? between(1025, 4096) : between(16, 1024);
                    break;
                case Kind::third_party:
                    size = between(16, 1024);
                    break;
            }
            v.push_back({kind, size});
        }
        return v;
    }();
    return steps;
}

// One thread's frames. `Set` serves each kind: alloc(kind, size) and
// release(kind, block, size); end_frame() gives the frame's scratch back.
// Scratch blocks are the set's own to give back, all together.
template <typename Set>
class FrameRunner {
public:
    explicit FrameRunner(Set& set) : set_(set) {
        previous_.reserve(frame_steps);
        current_.reserve(frame_steps);
    }
    ~FrameRunner() {
        release(previous_);
        set_.end_frame();
    }
    FrameRunner(const FrameRunner&) = delete;
    FrameRunner& operator=(const FrameRunner&) = delete;

    void run_frame() {
        for (const Step& step : frame()) {
            void* block = set_.alloc(step.kind, step.size);
            if (step.kind != Kind::scratch) current_.push_back({block, step});
        }
        release(previous_);
        set_.end_frame();
        previous_.swap(current_);
    }

private:
    struct Held {
        void* block;
        Step step;
    };
    void release(std::vector<Held>& held) {
        for (const Held& h : held) set_.release(h.step.kind, h.block, h.step.size);
        held.clear();
    }

    Set& set_;
    std::vector<Held> previous_;
    std::vector<Held> current_;
};

// ---------------------------------------------------------------------------
// The frame through Tarvex's contexts, and through a general allocator
// ---------------------------------------------------------------------------

constexpr uint32_t entities = 0x5c2000;      // shared by the threads
constexpr uint32_t strings = 0x5c2001;       // shared by the threads
constexpr uint32_t scratch_base = 0x5c2100;  // one arena for each thread

// The shared contexts with per-thread caches, as a game's would be; the
// `_locked` twins without them, to show what the caches save.
constexpr uint32_t entities_locked = 0x5c2002;
constexpr uint32_t strings_locked = 0x5c2003;

inline void make_frame_contexts() {
    static const bool made = [] {
        const auto shared = [](const char* name, uint32_t id, uint16_t flags) {
            Tarvex::ContextBase base(name, id, Tarvex::SmallBlkList);
            base.flags = flags;
            Tarvex::context_init(base);
        };
        shared("Bench entities", entities, Tarvex::multi_threaded | Tarvex::thread_cache);
        shared("Bench strings", strings, Tarvex::multi_threaded | Tarvex::thread_cache);
        shared("Bench entities, locked", entities_locked, Tarvex::multi_threaded);
        shared("Bench strings, locked", strings_locked, Tarvex::multi_threaded);
        for (uint32_t t = 0; t < 8; ++t) {
            Tarvex::ContextBase scratch("Bench scratch", scratch_base + t, Tarvex::GrowOnly);
            scratch.flags = 0;
            scratch.size_hint = 4 * 256 * 1024;  // a frame's scratch fits one block
            Tarvex::context_init(scratch);
        }
        return true;
    }();
    (void)made;
}

// The calls of a set: by id, through the dispatch table as every call of a
// game that names its contexts by id, or through the contexts' handles.
struct ById {
    explicit ById(uint32_t context_id) : id(context_id) {}
    void* alloc(uint32_t size) const { return Tarvex::std_alloc(size, id); }
    void free(void* block) const { Tarvex::std_free(block, id); }
    uint32_t id;
};

struct ByHandle {
    explicit ByHandle(uint32_t context_id)
        : id(context_id), handle(tarvex_context_find(context_id)) {}
    void* alloc(uint32_t size) const { return tarvex_handle_alloc(handle, size); }
    void free(void* block) const { tarvex_handle_free(handle, block); }
    uint32_t id;
    tarvex_handle handle;
};

// Third-party blocks come through the malloc-shaped functions either way: a
// library the game did not write knows no context.
template <typename Calls = ById>
class TarvexFrame {
public:
    explicit TarvexFrame(int thread, bool thread_caches = true)
        : scratch_(scratch_base + static_cast<uint32_t>(thread)),
          entities_(thread_caches ? entities : entities_locked),
          strings_(thread_caches ? strings : strings_locked) {}
    void* alloc(Kind kind, uint32_t size) {
        switch (kind) {
            case Kind::entity:
                return entities_.alloc(size);
            case Kind::text:
                return strings_.alloc(size);
            case Kind::scratch:
                return scratch_.alloc(size);
            case Kind::third_party:
                return tarvex_malloc(size);
        }
        return nullptr;
    }
    void release(Kind kind, void* block, uint32_t) {
        switch (kind) {
            case Kind::entity:
                return entities_.free(block);
            case Kind::text:
                return strings_.free(block);
            case Kind::scratch:
                return;
            case Kind::third_party:
                return tarvex_free(block);
        }
    }
    void end_frame() { Tarvex::context_reset(scratch_.id); }

private:
    Calls scratch_;
    Calls entities_;
    Calls strings_;
};

// A general allocator for every kind: the frame's scratch is freed block by
// block at its end.
template <typename Alloc, typename Free>
class HeapFrame {
public:
    HeapFrame(Alloc alloc, Free free) : alloc_(alloc), free_(free) { scratch_.reserve(256); }
    void* alloc(Kind kind, uint32_t size) {
        void* block = alloc_(size);
        if (kind == Kind::scratch) scratch_.push_back(block);
        return block;
    }
    void release(Kind, void* block, uint32_t) { free_(block); }
    void end_frame() {
        for (void* block : scratch_) free_(block);
        scratch_.clear();
    }

private:
    Alloc alloc_;
    Free free_;
    std::vector<void*> scratch_;
};

}  // namespace bench
