// Records the block requests and releases that reach the dispatch table for
// one context id, forwarding every call to the original occupant. A test can
// also make that id's requests fail, as a context without storage would.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/tarvex.h"

struct BlockCall {
    bool is_alloc;
    uint32_t size;      // requested size; 0 for a release
    const void* block;  // returned block, or the block released
};

class RecordingDispatch {
public:
    explicit RecordingDispatch(uint32_t watched_id) : watched_id_(watched_id) {
        std::lock_guard<std::mutex> hold(mutex());
        active() = this;
        Tarvex::my_func_table.std_alloc = &RecordingDispatch::std_alloc;
        Tarvex::my_func_table.std_free = &RecordingDispatch::std_free;
    }
    ~RecordingDispatch() {
        std::lock_guard<std::mutex> hold(mutex());
        Tarvex::my_func_table = swap_.original();
        active() = nullptr;
    }

    // While set, requests for the watched id return null (and are recorded).
    void fail_requests(bool fail) {
        std::lock_guard<std::mutex> hold(mutex());
        failing_ = fail;
    }

    std::vector<BlockCall> take() {
        std::lock_guard<std::mutex> hold(mutex());
        auto taken = std::move(calls_);
        calls_.clear();
        return taken;
    }

    std::vector<uint32_t> alloc_sizes() {
        std::vector<uint32_t> sizes;
        for (const auto& call : take()) {
            if (call.is_alloc) sizes.push_back(call.size);
        }
        return sizes;
    }

private:
    static void* std_alloc(uint32_t size, uint32_t id) {
        RecordingDispatch* self = active();
        bool fail = false;
        if (id == self->watched_id_) {
            std::lock_guard<std::mutex> hold(mutex());
            fail = self->failing_;
        }
        void* block = fail ? nullptr : self->swap_.original().std_alloc(size, id);
        if (id == self->watched_id_) self->record({true, size, block});
        return block;
    }
    static void std_free(const void* block, uint32_t id) {
        RecordingDispatch* self = active();
        if (id == self->watched_id_) self->record({false, 0, block});
        self->swap_.original().std_free(block, id);
    }
    void record(const BlockCall& call) {
        std::lock_guard<std::mutex> hold(mutex());
        calls_.push_back(call);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static RecordingDispatch*& active() {
        static RecordingDispatch* current = nullptr;
        return current;
    }

    DispatchSwap swap_;
    uint32_t watched_id_;
    bool failing_ = false;
    std::vector<BlockCall> calls_;
};
