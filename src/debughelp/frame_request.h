// The frames a report needs, gathered under the library lock and resolved
// after leaving it: each distinct address that the cache lacks, once.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tarvex {

class FrameRequest {
public:
    FrameRequest() = default;
    ~FrameRequest();
    FrameRequest(const FrameRequest&) = delete;
    FrameRequest& operator=(const FrameRequest&) = delete;

    // Adds the addresses that are not 0 and not cached. Storage comes from
    // the runtime heap; an address that finds none is left out, and is
    // written unresolved.
    void add(const uintptr_t* addresses, size_t count);
    bool empty() const { return count_ == 0; }
    // Resolves what was gathered and empties the request. pre: as for
    // resolve_frames.
    void resolve();

private:
    void add_one(uintptr_t address);
    // Sorts the addresses and removes repeats.
    void compact();
    // Doubles the room; unchanged when the heap has none.
    void grow();

    uintptr_t* addresses_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

}  // namespace tarvex
