#include "debughelp/module_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tarvex {

namespace {

// Doubles `capacity` (from `first`) and moves the block; false, with the
// block untouched, when the heap has no room.
template <typename T>
bool grow(T*& block, size_t& capacity, size_t first) {
    const size_t grown = capacity == 0 ? first : capacity * 2;
    if (grown > SIZE_MAX / sizeof(T)) return false;
    void* bigger = std::realloc(block, grown * sizeof(T));
    if (bigger == nullptr) return false;
    block = static_cast<T*>(bigger);
    capacity = grown;
    return true;
}

}  // namespace

ModuleMap::~ModuleMap() {
    clear();
}

void ModuleMap::clear() {
    std::free(modules_);
    std::free(paths_);
    modules_ = nullptr;
    paths_ = nullptr;
    count_ = capacity_ = paths_used_ = paths_capacity_ = 0;
}

// While the list is taken, a module's path field holds the offset of its
// text in paths_, which may still move.
void ModuleMap::add(const platform::ModuleImage& image, void* map) {
    ModuleMap& self = *static_cast<ModuleMap*>(map);
    const size_t length = std::strlen(image.path) + 1;
    while (self.paths_capacity_ - self.paths_used_ < length) {
        if (!grow(self.paths_, self.paths_capacity_, 4096)) return;
    }
    if (self.count_ == self.capacity_ && !grow(self.modules_, self.capacity_, 64)) return;
    std::memcpy(self.paths_ + self.paths_used_, image.path, length);
    self.modules_[self.count_++] =
        Module{image.base, image.size, reinterpret_cast<const char*>(self.paths_used_), false};
    self.paths_used_ += length;
}

void ModuleMap::take() {
    clear();
    platform::for_each_module(add, this);
    for (size_t i = 0; i < count_; ++i) {
        modules_[i].path = paths_ + reinterpret_cast<uintptr_t>(modules_[i].path);
    }
    std::sort(modules_, modules_ + count_,
              [](const Module& a, const Module& b) { return a.base < b.base; });
}

const ModuleMap::Module* ModuleMap::find(uintptr_t address) const {
    // The last module that starts at or below the address, if it reaches it.
    const Module* begin = modules_;
    const Module* end = modules_ + count_;
    const Module* after = std::upper_bound(begin, end, address,
                                           [](uintptr_t a, const Module& m) { return a < m.base; });
    if (after == begin) return nullptr;
    const Module* candidate = after - 1;
    return address - candidate->base < candidate->size ? candidate : nullptr;
}

void ModuleMap::note(uintptr_t address) {
    const Module* found = find(address);
    if (found != nullptr) modules_[found - modules_].used = true;
}

}  // namespace tarvex
