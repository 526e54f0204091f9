#include "tracking/track_table.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <set>

#include "base/errors.h"
#include "base/library_state.h"
#include "config/breakpoint.h"
#include "contexts/library_storage.h"
#include "contexts/mem_context.h"
#include "debughelp/debug_help.h"
#include "registry/registry.h"
#include "tracking/timeline.h"
#include "tracking/tracking_entries.h"

namespace tarvex {

namespace {

#if UINTPTR_MAX == 0xffffffffu
// A tree node is the block (the entry and its mark) plus the tree's links
// and colour (four words): the library's own storage per live tracked block
// stays within 128 bytes, info copy aside.
static_assert(sizeof(TrackedBlock) + 4 * sizeof(void*) <= 128,
              "a tracked block costs at most 128 bytes");
#endif

// What an entry is found by. Lookups build this, not a whole entry: an
// entry carries its frames, and zeroing them for every release showed up in
// the profile of the tracked pair.
struct EntryKey {
    uintptr_t address;
    uint32_t context_id;
};

EntryKey key_of(const TrackedBlock& block) {
    return {reinterpret_cast<uintptr_t>(block.entry.address), block.entry.context_id};
}

// Addresses compare as unsigned numbers, then ids.
struct EntryOrder {
    using is_transparent = void;
    static bool less(const EntryKey& a, const EntryKey& b) {
        if (a.address != b.address) return a.address < b.address;
        return a.context_id < b.context_id;
    }
    bool operator()(const TrackedBlock& a, const TrackedBlock& b) const {
        return less(key_of(a), key_of(b));
    }
    bool operator()(const TrackedBlock& a, const EntryKey& b) const { return less(key_of(a), b); }
    bool operator()(const EntryKey& a, const TrackedBlock& b) const { return less(a, key_of(b)); }
};

using TrackSet = std::set<TrackedBlock, EntryOrder, LibraryAllocator<TrackedBlock>>;

constexpr size_t recent_slot_count = 256;

// The entries, and those added or released last by address, so that a
// short-lived block (a frame's temporaries, the common case) costs no
// descent of the tree: in the profile of a tracked pair against 100,000 live
// blocks that descent, a dependent load per level, took most of the time. A
// slot holds only an entry whose address maps to it. A released entry stays
// in the tree while its slot holds it, its info null: the next block at the
// same address and id takes its node over, with no descent, no node made and
// no rebalancing; a released entry its slot lets go of leaves the tree. So
// at most one released entry a slot lies in the tree, and every walk and
// lookup passes over them. Empty slots hold the set's end(). The slots live
// with the set, not in static storage: a lazy start may create the table
// before this file's static objects are made.
struct TrackTable {
    TrackSet entries;
    TrackSet::iterator recent[recent_slot_count];
    uint32_t live = 0;  // entries not released

    TrackTable() {
        for (TrackSet::iterator& slot : recent) slot = entries.end();
    }
    TrackSet::iterator& recent_slot(const void* address) {
        const uintptr_t bits = reinterpret_cast<uintptr_t>(address);
        return recent[((bits >> 4) ^ (bits >> 12)) % recent_slot_count];
    }
};

TrackTable* table = nullptr;

bool ignored(uint32_t context_id) {
    return table == nullptr || !library_running() || context_id == tarvex_ids::library_context;
}

bool is_released(const TrackedBlock& block) {
    return block.entry.info == nullptr;
}

bool has_key(const TrackedBlock& block, const void* address, uint32_t context_id) {
    return block.entry.address == address && block.entry.context_id == context_id;
}

// Only the key orders the set: the rest of a block may change in place.
MemTrackEntry& entry_of(const TrackedBlock& block) {
    return const_cast<MemTrackEntry&>(block.entry);
}

// The live entry of the key, or end().
TrackSet::iterator find_entry(void* address, uint32_t context_id) {
    const TrackSet::iterator end = table->entries.end();
    const TrackSet::iterator seen = table->recent_slot(address);
    if (seen != end && has_key(*seen, address, context_id)) return is_released(*seen) ? end : seen;
    const auto found =
        table->entries.find(EntryKey{reinterpret_cast<uintptr_t>(address), context_id});
    return found != end && !is_released(*found) ? found : end;
}

// pre: the entry is live. It leaves the tree.
void erase_entry(TrackSet::iterator entry) {
    TrackSet::iterator& slot = table->recent_slot(entry->entry.address);
    if (slot == entry) slot = table->entries.end();
    table->entries.erase(entry);
    --table->live;
}

// pre: the entry is live, its info given back. It stays in the tree,
// released, held by its slot, whose released entry before it leaves.
void retire_entry(TrackSet::iterator entry) {
    TrackSet::iterator& slot = table->recent_slot(entry->entry.address);
    if (slot != entry) {
        if (slot != table->entries.end() && is_released(*slot)) table->entries.erase(slot);
        slot = entry;
    }
    entry_of(*entry).info = nullptr;
    --table->live;
}

// A new entry, built right in the tree's node: the set constructs its value
// through the conversion, so the block is written once, not built on the
// stack and copied in.
struct NewEntry {
    uint32_t context_id;
    void* address;
    uint32_t size;
    uint32_t alloc_id;
    const char* info;

    operator TrackedBlock() const {
        TrackedBlock block;
        std::memset(block.entry.frames, 0, sizeof(block.entry.frames));
        write_into(block);
        return block;
    }
    // Everything but the frames, which the caller sees to.
    void write_into(TrackedBlock& block) const {
        block.stack_cut = false;
        MemTrackEntry& entry = block.entry;
        entry.reserved = 0;
        entry.context_id = context_id;
        entry.address = address;
        entry.size = size;
        entry.alloc_id = alloc_id;
        entry.info = info;
    }
};

// A node for a new entry: the released one its slot holds when it has the
// key, taken over in place; else a new one in the tree (end() when the key
// is live already), and `refused` when no node could be had.
TrackSet::iterator place_entry(const NewEntry& made, bool& refused) {
    const TrackSet::iterator end = table->entries.end();
    TrackSet::iterator& slot = table->recent_slot(made.address);
    refused = false;
    if (slot != end && is_released(*slot)) {
        if (has_key(*slot, made.address, made.context_id)) {
            // The frames end at their first 0: a released entry without
            // frames, the common case where no stacks are recorded, needs no
            // clearing.
            TrackedBlock& block = const_cast<TrackedBlock&>(*slot);
            if (block.entry.frames[0] != 0) {
                std::memset(block.entry.frames, 0, sizeof(block.entry.frames));
            }
            made.write_into(block);
            ++table->live;
            return slot;
        }
        table->entries.erase(slot);
        slot = end;
    }
    try {
        const auto inserted = table->entries.emplace(made);
        if (!inserted.second) return end;
        slot = inserted.first;
        ++table->live;
        return inserted.first;
    } catch (...) {
        refused = true;
        return end;
    }
}

// The peaks as they were before a block was counted, and as its counting
// left them.
struct CountedPeaks {
    uint32_t usage_before;
    uint32_t fragments_before;
    uint32_t usage_after;
    uint32_t fragments_after;
};

CountedPeaks count_allocation(MemContext& context, uint32_t size) {
    CountedPeaks peaks = {context.usage_peak, context.fragments_peak, 0, 0};
    context.fragments += 1;
    context.usage += size;
    if (context.usage > context.usage_peak) context.usage_peak = context.usage;
    if (context.fragments > context.fragments_peak) context.fragments_peak = context.fragments;
    peaks.usage_after = context.usage_peak;
    peaks.fragments_after = context.fragments_peak;
    return peaks;
}

// Takes back a block that was counted but could not be stored. A peak goes
// back only if nothing raised it since (a sink or break function may have
// allocated in the same context).
void uncount_allocation(MemContext& context, uint32_t size, const CountedPeaks& peaks) {
    context.fragments -= 1;
    context.usage -= size;
    if (context.usage_peak == peaks.usage_after) context.usage_peak = peaks.usage_before;
    if (context.fragments_peak == peaks.fragments_after) {
        context.fragments_peak = peaks.fragments_before;
    }
}

uint32_t back_trace_depth(const MemContext& context) {
    const int32_t mode = back_trace_mode.load(std::memory_order_relaxed);
    if (mode < 2) return 0;
    if (mode == 2 && context.trace_depth < max_frames) return context.trace_depth;
    return max_frames;
}

// Mode 2 with a context whose depth is 0 looks like a bug in the report (every
// block without a stack) unless the log says why, once per context. The flag
// is set before the sink runs, so a sink that allocates there is not warned
// again. The null context standing in for an unknown id is not warned about:
// that misuse has its own error.
void warn_no_stacks(MemContext& context, uint32_t context_id) {
    if (back_trace_mode.load(std::memory_order_relaxed) != 2 || context.warned_no_stacks ||
        context.id != context_id) {
        return;
    }
    context.warned_no_stacks = true;
    char text[512];
    std::snprintf(text, sizeof(text),
                  "WARNING: Context %s records no stacks: its trace depth is 0 (TraceDepth: in "
                  "tarvex.ini)",
                  context.name != nullptr ? context.name : "");
    log_message(text);
}

}  // namespace

void create_track_table() {
    table = library_new<TrackTable>();
}

void destroy_track_table() {
    if (table == nullptr) return;
    for (const TrackedBlock& block : table->entries) release_name(block.entry.info);
    TrackTable* doomed = table;
    table = nullptr;
    library_delete(doomed);
}

void track_add(MemContext& context, uint32_t context_id, void* address, uint32_t size,
               const char* info) {
    StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    if (ignored(context_id)) return;
    context.check_owner_thread();
    const CountedPeaks peaks = count_allocation(context, size);
    const NewEntry made{context_id, address, size, take_next_alloc_id(), copy_name(info)};
    const uint32_t depth = back_trace_depth(context);
    // Before the table is touched: the sink may allocate or release.
    if (depth == 0) warn_no_stacks(context, context_id);

    bool refused;  // no node could be had
    const TrackSet::iterator stored = place_entry(made, refused);
    if (stored != table->entries.end()) {
        TrackedBlock& block = const_cast<TrackedBlock&>(*stored);
        MemTrackEntry& entry = block.entry;
        if (depth != 0) capture_stack(start, depth, entry.frames, &block.stack_cut);
        if (timeline_on.load(std::memory_order_relaxed)) timeline_allocation(context, entry);
        // The sink and break_func see a copy: nothing they do to the table
        // can pull it from under them.
        if (allocation_logging() || breakpoint_armed) {
            const MemTrackEntry seen = entry;
            log_allocation(seen, context);
            check_breakpoint(seen);
        }
        return;
    }

    // A duplicate, or no node: the entry is told of all the same, then
    // dropped. Unlike a duplicate, a dropped entry counts nothing.
    TrackedBlock dropped = made;
    MemTrackEntry& entry = dropped.entry;
    if (depth != 0) capture_stack(start, depth, entry.frames);
    log_allocation(entry, context);
    if (refused)
        uncount_allocation(context, size, peaks);
    else
        report_error(error_duplicate_entry);
    check_breakpoint(entry);
    release_name(entry.info);
}

bool track_remove(MemContext& context, uint32_t context_id, void* address, uint32_t& size,
                  bool check_size) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (ignored(context_id)) return true;
    auto found = find_entry(address, context_id);
    if (found == table->entries.end()) {
        report_error(error_invalid_pointer);
        return false;
    }
    // A report runs the sink, which may allocate or release and so move or
    // erase the entry: it is looked up again.
    if (context.check_owner_thread()) {
        found = find_entry(address, context_id);
        if (found == table->entries.end()) return false;
    }
    // The entry leaves the table before the sink or break_func can see it,
    // as a copy when they will: a nested release of the same block then
    // finds nothing to remove, and nothing they do reaches a freed node.
    const MemTrackEntry* seen = &found->entry;
    MemTrackEntry copy;
    if (allocation_logging() || breakpoint_armed) {
        copy = found->entry;
        seen = &copy;
        erase_entry(found);
        log_allocation(copy, context);
        check_breakpoint(copy);
    }
    context.fragments -= 1;
    context.usage -= seen->size;
    const bool size_differs = check_size && seen->size != size;
    if (check_size) size = seen->size;
    const uint32_t alloc_id = seen->alloc_id;
    release_name(seen->info);
    if (seen != &copy) retire_entry(found);
    if (timeline_on.load(std::memory_order_relaxed)) timeline_release(alloc_id);
    if (size_differs) report_error(error_size_mismatch);
    return true;
}

void track_set_info(uint32_t context_id, void* address, const char* info) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (ignored(context_id)) return;
    const auto found = find_entry(address, context_id);
    if (found == table->entries.end()) return;
    const char* text = info != nullptr ? info : "";
    const char*& stored = entry_of(*found).info;
    if (std::strcmp(stored, text) == 0) return;
    release_name(stored);
    stored = copy_name(text);
}

void track_forget_range(MemContext& context, uint32_t context_id, const void* begin,
                        const void* end, uint32_t min_alloc_id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (ignored(context_id)) return;
    auto block = table->entries.lower_bound(EntryKey{reinterpret_cast<uintptr_t>(begin), 0});
    while (block != table->entries.end() &&
           reinterpret_cast<uintptr_t>(block->entry.address) <= reinterpret_cast<uintptr_t>(end)) {
        const auto next = std::next(block);
        const MemTrackEntry& entry = block->entry;
        if (!is_released(*block) && entry.context_id == context_id &&
            entry.alloc_id >= min_alloc_id) {
            context.fragments -= 1;
            context.usage -= entry.size;
            release_name(entry.info);
            erase_entry(block);
        }
        block = next;
    }
}

uint32_t track_table_size() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return table != nullptr ? table->live : 0;
}

bool find_tracked(void* address, uint32_t context_id, MemTrackEntry& out) {
    if (table == nullptr) return false;
    const auto found = find_entry(address, context_id);
    if (found == table->entries.end()) return false;
    out = found->entry;
    return true;
}

void for_each_tracked_block(void (*visit)(const TrackedBlock& block, void* user), void* user) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (table == nullptr) return;
    for (const TrackedBlock& block : table->entries) {
        if (!is_released(block)) visit(block, user);
    }
}

}  // namespace tarvex
