// A small table of values by context id, filled while tarvex.ini is read:
// the first entry for an id wins and entries beyond the capacity are dropped.
// It is constant-initialised, so a table filled by a start-up that runs
// before the library's static constructors is never wiped by them.
#pragma once

#include <stdint.h>

namespace tarvex {

template <typename Value, uint32_t Capacity>
class IdTable {
public:
    constexpr IdTable() : entries_{}, count_(0) {}

    void add(uint32_t id, const Value& value) {
        if (find(id) != nullptr || count_ == Capacity) return;
        entries_[count_++] = {id, value};
    }

    // The value for the id, or null when it has none.
    const Value* find(uint32_t id) const {
        for (uint32_t i = 0; i < count_; ++i) {
            if (entries_[i].id == id) return &entries_[i].value;
        }
        return nullptr;
    }

private:
    struct Entry {
        uint32_t id;
        Value value;
    };
    Entry entries_[Capacity];
    uint32_t count_;
};

}  // namespace tarvex
