#include "debughelp/frame_request.h"

#include <algorithm>
#include <cstdlib>

#include "debughelp/debug_help.h"
#include "debughelp/frame_cache.h"

namespace tarvex {

namespace {

constexpr size_t first_capacity = 256;

}  // namespace

FrameRequest::~FrameRequest() {
    std::free(addresses_);
}

void FrameRequest::add(const uintptr_t* addresses, size_t count) {
    // In slices, so the cache is asked once for many addresses.
    uintptr_t uncached[32];
    for (size_t done = 0; done < count;) {
        const size_t slice = std::min(count - done, sizeof(uncached) / sizeof(uncached[0]));
        const size_t found = uncached_frames(addresses + done, slice, uncached);
        for (size_t i = 0; i < found; ++i) add_one(uncached[i]);
        done += slice;
    }
}

void FrameRequest::add_one(uintptr_t address) {
    if (count_ == capacity_) {
        // Reports repeat the same few addresses many times: the list grows
        // only when removing repeats frees less than half of it.
        compact();
        if (2 * count_ >= capacity_) grow();
        if (count_ == capacity_) return;
    }
    addresses_[count_++] = address;
}

void FrameRequest::grow() {
    const size_t grown = capacity_ == 0 ? first_capacity : capacity_ * 2;
    if (grown > SIZE_MAX / sizeof(uintptr_t)) return;
    void* bigger = std::realloc(addresses_, grown * sizeof(uintptr_t));
    if (bigger == nullptr) return;
    addresses_ = static_cast<uintptr_t*>(bigger);
    capacity_ = grown;
}

void FrameRequest::resolve() {
    compact();
    resolve_frames(addresses_, count_);
    count_ = 0;
}

void FrameRequest::compact() {
    std::sort(addresses_, addresses_ + count_);
    count_ = static_cast<size_t>(std::unique(addresses_, addresses_ + count_) - addresses_);
}

}  // namespace tarvex
