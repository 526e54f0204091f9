// The tables the timeline reader keeps: open-addressed maps from allocation
// ids and stack keys to dense indices, and usage series in a fixed number of
// buckets. Each is sized by what is live or distinct, never by the events.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace tarvex::timeline {

// ---------------------------------------------------------------------------
// Open-addressed map to dense indices
// ---------------------------------------------------------------------------

// Keys are hashed by Fibonacci hashing (a crafted file of ids a power of two
// apart must not pile into one run), probed linearly, and removed by moving
// the rest of their run back, so a long run of churn leaves no tombstones.
template <typename Key>
class IndexMap {
public:
    static constexpr uint32_t none = UINT32_MAX;

    IndexMap() { rehash(64); }

    uint32_t find(Key key) const {
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].value == none) return none;
            if (slots_[i].key == key) return slots_[i].value;
        }
    }

    // pre: the key is not in the map.
    void insert(Key key, uint32_t value) {
        if ((count_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
        size_t i = home(key);
        while (slots_[i].value != none) i = (i + 1) & mask_;
        slots_[i] = {key, value};
        ++count_;
    }

    // The key's value, taken out of the map; none when it was not there.
    uint32_t remove(Key key) {
        size_t i = home(key);
        while (slots_[i].value != none && slots_[i].key != key) i = (i + 1) & mask_;
        const uint32_t found = slots_[i].value;
        if (found == none) return none;
        // Backward shift: each later entry of the run that may move into the
        // hole does, until the run ends.
        for (size_t j = (i + 1) & mask_; slots_[j].value != none; j = (j + 1) & mask_) {
            const size_t want = home(slots_[j].key);
            if (((j - want) & mask_) >= ((j - i) & mask_)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i].value = none;
        --count_;
        return found;
    }

    size_t size() const { return count_; }

private:
    struct Slot {
        Key key;
        uint32_t value;
    };

    size_t home(Key key) const {
        return static_cast<size_t>((static_cast<uint64_t>(key) * 0x9e3779b97f4a7c15ull) >> shift_);
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(capacity, Slot{Key{}, none});
        mask_ = capacity - 1;
        shift_ = 64;
        for (size_t c = capacity; c > 1; c >>= 1) --shift_;
        count_ = 0;
        for (const Slot& slot : old) {
            if (slot.value != none) insert(slot.key, slot.value);
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Live allocation ids
// ---------------------------------------------------------------------------

// Allocation ids to block indices. Ids are handed out one after another, so
// live ones lie in runs, and a release names one of the last few hundred
// thousand as often as not: each run of 128 ids shares a leaf of 512 bytes,
// found through a small map of the leaves (hot in the cache), taken when its
// first id comes and given back when its last goes. A table hashed by id
// would miss the cache on nearly every event of an hour's live set.
class IdMap {
public:
    static constexpr uint32_t none = UINT32_MAX;

    uint32_t find(uint32_t id) const {
        const uint32_t leaf = leaf_of(id);
        return leaf == none ? none : pool_[leaf].values[id & leaf_mask];
    }

    // Adds the id with the value, unless it is in the map already: then
    // its value, else none.
    uint32_t insert(uint32_t id, uint32_t value) {
        uint32_t leaf = leaf_of(id);
        if (leaf == none) {
            if (free_.empty()) {
                leaf = static_cast<uint32_t>(pool_.size());
                pool_.emplace_back();
            } else {
                leaf = free_.back();
                free_.pop_back();
            }
            for (uint32_t& v : pool_[leaf].values) v = none;
            pool_[leaf].count = 0;
            leaves_.insert(id >> leaf_bits, leaf);
            last_run_ = id >> leaf_bits, last_leaf_ = leaf;
        }
        uint32_t& slot = pool_[leaf].values[id & leaf_mask];
        if (slot != none) return slot;
        slot = value;
        ++pool_[leaf].count;
        ++count_;
        return none;
    }

    // The id's value, taken out of the map; none when it was not there.
    uint32_t remove(uint32_t id) {
        const uint32_t leaf = leaf_of(id);
        if (leaf == none) return none;
        uint32_t& slot = pool_[leaf].values[id & leaf_mask];
        const uint32_t found = slot;
        if (found == none) return none;
        slot = none;
        --count_;
        if (--pool_[leaf].count == 0) {
            leaves_.remove(id >> leaf_bits);
            free_.push_back(leaf);
            if (last_leaf_ == leaf) last_run_ = none;
        }
        return found;
    }

    size_t size() const { return count_; }

private:
    static constexpr unsigned leaf_bits = 7;
    static constexpr uint32_t leaf_mask = (1u << leaf_bits) - 1;
    struct Leaf {
        uint32_t count;
        uint32_t values[1u << leaf_bits];
    };

    uint32_t leaf_of(uint32_t id) const {
        const uint32_t run = id >> leaf_bits;
        if (run == last_run_) return last_leaf_;
        const uint32_t leaf = leaves_.find(run);
        if (leaf != none) last_run_ = run, last_leaf_ = leaf;
        return leaf;
    }

    IndexMap<uint32_t> leaves_;  // id >> leaf_bits -> leaf
    std::vector<Leaf> pool_;
    std::vector<uint32_t> free_;
    size_t count_ = 0;
    // The leaf asked for last, at hand: a run's ids come together.
    mutable uint32_t last_run_ = none, last_leaf_ = none;
};

// ---------------------------------------------------------------------------
// Usage in buckets
// ---------------------------------------------------------------------------

// At most this many buckets a series; when full, neighbours pair up.
constexpr size_t bucket_limit = 1024;

// The highest value and the value at the end, per bucket. Buckets past the
// last that got a value carry the last end: a stretch without events keeps
// its usage.
struct Series {
    std::vector<uint64_t> high;
    std::vector<uint64_t> end;
    uint64_t carried = 0;

    void halve() {
        const size_t count = (high.size() + 1) / 2;
        for (size_t i = 0; i < count; ++i) {
            const size_t a = 2 * i, b = a + 1 < high.size() ? a + 1 : a;
            high[i] = high[a] > high[b] ? high[a] : high[b];
            end[i] = end[b];
        }
        high.resize(count);
        end.resize(count);
    }
};

// One axis (frames, or seconds): the width its series share, in units a
// bucket spans, and the series themselves.
class Axis {
public:
    size_t add_series() {
        series_.emplace_back();
        series_.back().high.assign(count_, 0);
        series_.back().end.assign(count_, 0);
        return series_.size() - 1;
    }

    // The highest value and the end of one unit (a frame, a second).
    void close(size_t series, uint64_t unit, uint64_t high, uint64_t end) {
        const size_t at = bucket(unit);
        Series& s = series_[series];
        if (high > s.high[at]) s.high[at] = high;
        s.end[at] = end;
        s.carried = end;
    }

    const Series& series(size_t index) const { return series_[index]; }
    uint64_t width() const { return width_; }

private:
    size_t bucket(uint64_t unit) {
        while (unit / width_ >= bucket_limit) {
            for (Series& s : series_) s.halve();
            width_ *= 2;
            count_ = (count_ + 1) / 2;
        }
        const size_t at = static_cast<size_t>(unit / width_);
        if (at >= count_) {
            for (Series& s : series_) {
                s.high.resize(at + 1, s.carried);
                s.end.resize(at + 1, s.carried);
            }
            count_ = at + 1;
        }
        return at;
    }

    std::vector<Series> series_;
    uint64_t width_ = 1;
    size_t count_ = 0;
};

}  // namespace tarvex::timeline
