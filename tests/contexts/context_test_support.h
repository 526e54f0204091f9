// What the context tests share: a context object of the tests' own, built
// and shut down directly, and the sizes of the blocks its pools request.
#pragma once

#include <atomic>
#include <cstdint>

#include "contexts/mem_context.h"
#include "pools/pool_test_support.h"
#include "tarvex/tarvex.h"

// The library may not have been attached (a Windows program that links the
// objects has no DLL entry point), and a context must not be created before
// the library starts.
inline void start_library() {
    static const bool started = [] {
        Tarvex::init();
        return true;
    }();
    (void)started;
}

// Started before any test runs, so that no test records the blocks the
// start-up itself obtains.
inline const bool library_started_before_tests = (start_library(), true);

// The request one pool growth makes: its fragments, the alignment slack (a
// 4-byte alignment unless given), and the block's link record.
inline uint32_t pool_block(uint32_t fragment, uint32_t grow, uint32_t alignment = 4) {
    return fragment * grow + alignment - 1 + node_size;
}

// A context object in the test's own storage, initialised with a fresh id
// and shut down when the test is done with it.
template <typename Context>
class LocalContext {
public:
    explicit LocalContext(uint16_t flags = Tarvex::multi_threaded, uint32_t size_hint = 0) {
        start_library();
        static std::atomic<uint32_t> next_id{0x6000};
        Tarvex::ContextBase base("Local test context", next_id++);
        base.flags = flags;
        base.size_hint = size_hint;
        context.init(base);
    }
    ~LocalContext() { shutdown(); }
    void shutdown() {
        if (live_) context.shutdown();
        live_ = false;
    }
    Context* operator->() { return &context; }

    Context context;

private:
    bool live_ = true;
};
