// The modules loaded in the process, as one enumeration found them: which
// module a code address lies in, and which modules a report's frames lie in.
//
// Listing the modules may wait for the system loader's lock, so a list is
// taken without the library lock (see registry/registry.h) and then read
// under it: finding and marking touch only the list itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

namespace tarvex {

class ModuleMap {
public:
    struct Module {
        uintptr_t base;
        size_t size;
        const char* path;
        bool used;
    };

    ModuleMap() = default;
    ~ModuleMap();
    ModuleMap(const ModuleMap&) = delete;
    ModuleMap& operator=(const ModuleMap&) = delete;

    // Lists the modules loaded now, in place of an earlier list. Storage
    // comes from the runtime heap, two blocks grown in place (the records
    // and the paths); a module that finds no room is left out.
    // pre: the library lock is not held, except at the final shutdown.
    void take();

    // The module whose image contains the address, or null.
    const Module* find(uintptr_t address) const;
    // Marks the module that contains the address as used.
    void note(uintptr_t address);

    // The used modules, by ascending base.
    template <typename Visit>
    void for_each_used(Visit visit) const {
        for (size_t i = 0; i < count_; ++i) {
            if (modules_[i].used) visit(modules_[i]);
        }
    }

    size_t size() const { return count_; }

private:
    static void add(const platform::ModuleImage& image, void* map);
    void clear();

    Module* modules_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
    char* paths_ = nullptr;
    size_t paths_used_ = 0;
    size_t paths_capacity_ = 0;
};

}  // namespace tarvex
