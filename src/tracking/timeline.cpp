#include "tracking/timeline.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "contexts/library_storage.h"
#include "debughelp/module_map.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "tracking/live_stream.h"
#include "tracking/timeline_format.h"
#include "tracking/track_table.h"

namespace tarvex {

std::atomic<bool> timeline_on{false};

namespace {

// ---------------------------------------------------------------------------
// The records (docs/timeline-format.md)
// ---------------------------------------------------------------------------

using namespace timeline_format;

constexpr size_t chunk_capacity = 64 * 1024;
// The most one record takes: a stack of 16 frames, or a name or path of the
// longest text with its fields.
constexpr size_t longest_record = 16 + 3 * 10 + longest_text;
// Between marks the clock is read once every this many events, and a time
// record written when this many milliseconds have passed since the last
// time the file got: a run without marks still has a time axis, and no
// allocation pays for a clock.
constexpr uint32_t events_per_clock_read = 1024;
// With a viewer, more often: a game that allocates slowly and marks no frames
// still sends a chunk every 250 ms.
constexpr uint32_t events_per_clock_read_live = 64;
constexpr uint64_t time_record_ms = 100;

// ---------------------------------------------------------------------------
// The writer: records into a chunk, chunks into the file and the live stream
// ---------------------------------------------------------------------------

class ChunkWriter {
public:
    bool open(const char* file_name) {
        file_ = std::fopen(file_name, "wb");
        if (file_ == nullptr) return false;
        // Chunks are written whole from the library's own buffer; unbuffered,
        // a forked child's stdio holds nothing of the parent's to write again.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        unsigned char header[header_bytes];
        fill_header(header);
        return std::fwrite(header, 1, sizeof(header), file_) == sizeof(header);
    }

    // Makes room for one record, writing the chunk out first when needed;
    // false when the file failed. (A failed writer is abandoned and never
    // asked again.)
    bool room_for(size_t bytes) { return used_ + bytes <= chunk_capacity || flush(); }
    __attribute__((noinline)) bool flush() {
        if (failed_) return false;
        if (used_ == 0) return true;
        unsigned char length[4];
        for (int i = 0; i < 4; ++i) length[i] = static_cast<unsigned char>(used_ >> (8 * i));
        if (live_attached) live_stream_chunk(length, chunk_, used_, events_);
        // Without a file (a live stream only) the chunk is done.
        failed_ = file_ != nullptr &&
                  (std::fwrite(length, 1, 4, file_) != 4 ||
                   std::fwrite(chunk_, 1, used_, file_) != used_ || std::fflush(file_) != 0);
        used_ = 0;
        events_ = 0;
        return !failed_;
    }
    // The events in the chunk under way, which a live stream that cannot take
    // it reports lost.
    void count_event() { ++events_; }
    size_t buffered() const { return used_; }
    bool failed() const { return failed_; }
    void close() {
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
    }
    void abandon() {
        used_ = 0;
        close();
    }

    void byte(uint8_t value) { chunk_[used_++] = value; }
    void varint(uint64_t value) { used_ += put_varint(chunk_ + used_, value); }
    void text(const char* value) {
        const size_t length = value != nullptr ? strnlen(value, longest_text) : 0;
        varint(length);
        std::memcpy(chunk_ + used_, value, length);
        used_ += length;
    }

private:
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    size_t used_ = 0;
    uint32_t events_ = 0;
    unsigned char chunk_[chunk_capacity];
};

// ---------------------------------------------------------------------------
// What is written once: contexts and stacks by their index, modules
// ---------------------------------------------------------------------------

// An open-addressed set of keys, each with the index it was written under.
// Grows by doubling; a key that finds no room is written again each time.
template <typename Key>
class IndexSet {
public:
    ~IndexSet() { library_free(slots_); }

    // The key's index, 0 when it has none yet: then `fresh` is set and the
    // key takes the next index, which the caller writes.
    uint32_t find_or_add(const Key& key, bool& fresh) {
        fresh = false;
        if (count_ * 4 >= capacity_ * 3 && !grow()) {
            fresh = true;
            return ++last_;
        }
        Slot* slot = probe(key);
        if (slot->index == 0) {
            slot->key = key;
            slot->index = ++last_;
            ++count_;
            fresh = true;
        }
        return slot->index;
    }
    // The key's index, 0 when it has none.
    uint32_t find(const Key& key) const { return capacity_ == 0 ? 0 : probe(key)->index; }
    template <typename Visit>
    void for_each(Visit visit) const {
        for (size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].index != 0) visit(slots_[i].key, slots_[i].index);
        }
    }
    uint32_t last() const { return last_; }

private:
    struct Slot {
        Key key;
        uint32_t index;
    };
    Slot* probe(const Key& key) const {
        for (size_t i = key.hash() & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
            if (slots_[i].index == 0 || slots_[i].key == key) return &slots_[i];
        }
    }
    bool grow() {
        const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        auto* slots = static_cast<Slot*>(library_alloc(capacity * sizeof(Slot)));
        if (slots == nullptr) return false;
        std::memset(static_cast<void*>(slots), 0, capacity * sizeof(Slot));
        Slot* old = slots_;
        const size_t old_capacity = capacity_;
        slots_ = slots;
        capacity_ = capacity;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i].index != 0) *probe(old[i].key) = old[i];
        }
        library_free(old);
        return true;
    }

    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
    uint32_t last_ = 0;
};

struct ContextKey {
    uint32_t id;
    size_t hash() const { return id * 0x9e3779b1u; }
    bool operator==(const ContextKey& other) const { return id == other.id; }
};

struct StackKey {
    uintptr_t frames[max_frames];
    size_t hash() const {
        uint64_t h = 1469598103934665603ull;
        for (uintptr_t frame : frames) h = (h ^ frame) * 1099511628211ull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
    bool operator==(const StackKey& other) const {
        return std::memcmp(frames, other.frames, sizeof(frames)) == 0;
    }
};

// ---------------------------------------------------------------------------
// The timeline
// ---------------------------------------------------------------------------

struct Timeline {
    ChunkWriter writer;
    char file_name[longest_text + 1];
    IndexSet<ContextKey> contexts;
    IndexSet<StackKey> stacks;
    // The modules listed last, and which of them the file has; a frame in
    // none of them asks for a new list at the next mark.
    ModuleMap* modules = nullptr;
    bool modules_stale = false;
    // The context of the last allocation, at hand for the next.
    uint32_t last_context_id = 0;
    uint32_t last_context_index = 0;
    uint64_t last_address = 0;
    uint32_t last_alloc_id = UINT32_MAX;  // so that the first id is written as it is
    // Times are written in milliseconds since the timeline started.
    uint64_t start_ms = 0;
    uint64_t last_time_written = 0;
    uint32_t events_since_clock = 0;
    // For the live stream: the frames marked so far, and when the last chunk
    // went out.
    uint64_t frames = 0;
    uint64_t last_flush_ms = 0;
};

// Guarded by the library lock.
Timeline* timeline = nullptr;

void report_failure() {
    char message[longest_text + 64];
    std::snprintf(message, sizeof(message), "ERROR: Cannot write the timeline file: %s",
                  timeline->file_name);
    log_message(message);
}

// Ends a timeline whose file failed; what it holds goes with it.
void end_failed() {
    timeline_on.store(false, std::memory_order_relaxed);
    report_failure();
    timeline->writer.abandon();
}

__attribute__((noinline)) bool failed_for_room() {
    end_failed();
    return false;
}

inline bool room_for(size_t bytes) {
    return timeline->writer.room_for(bytes) || failed_for_room();
}

uint32_t context_index(const MemContext& context, uint32_t id) {
    if (timeline->last_context_index != 0 && timeline->last_context_id == id)
        return timeline->last_context_index;
    bool fresh;
    const uint32_t index = timeline->contexts.find_or_add(ContextKey{id}, fresh);
    if (fresh && room_for(longest_record)) {
        ChunkWriter& w = timeline->writer;
        w.byte(tag_context);
        w.varint(index);
        w.varint(id);
        w.varint(context.budget.limits.soft);
        w.varint(context.budget.limits.hard);
        w.text(context.id == id ? context.name : "");
    }
    timeline->last_context_id = id;
    timeline->last_context_index = index;
    return index;
}

// Writes each module of the frames the file does not have yet.
void write_modules_of(const uintptr_t* frames, uint32_t count) {
    ModuleMap* modules = timeline->modules;
    for (uint32_t i = 0; i < count; ++i) {
        const ModuleMap::Module* module = modules != nullptr ? modules->find(frames[i]) : nullptr;
        if (module == nullptr) {
            timeline->modules_stale = true;
            continue;
        }
        if (module->used || !room_for(longest_record)) continue;
        modules->note(frames[i]);
        ChunkWriter& w = timeline->writer;
        w.byte(tag_module);
        w.varint(module->base);
        w.varint(module->size);
        w.text(module->path);
    }
}

uint32_t stack_index(const MemTrackEntry& entry) {
    uint32_t count = 0;
    while (count < max_frames && entry.frames[count] != 0) ++count;
    if (count == 0) return 0;
    StackKey key;
    std::memcpy(key.frames, entry.frames, sizeof(key.frames));
    bool fresh;
    const uint32_t index = timeline->stacks.find_or_add(key, fresh);
    if (fresh) {
        write_modules_of(entry.frames, count);
        if (!room_for(longest_record)) return 0;
        ChunkWriter& w = timeline->writer;
        w.byte(tag_stack);
        w.varint(index);
        w.byte(static_cast<uint8_t>(count));
        for (uint32_t i = 0; i < count; ++i) w.varint(entry.frames[i]);
    }
    return index;
}

// pre: the library lock is not held. A new list of the modules, when a frame
// lay in none of those listed.
ModuleMap* list_modules_if_stale() {
    {
        LockHolder hold(library_lock());
        if (timeline == nullptr || !timeline->modules_stale) return nullptr;
    }
    ModuleMap* modules = library_new<ModuleMap>();
    if (modules != nullptr) modules->take();
    return modules;
}

// pre: the library lock is held. Takes the new list, and keeps which
// modules the file has.
void adopt_modules(ModuleMap* modules) {
    if (modules == nullptr) return;
    if (timeline == nullptr) {
        library_delete(modules);
        return;
    }
    if (ModuleMap* old = timeline->modules) {
        old->for_each_used([&](const ModuleMap::Module& module) { modules->note(module.base); });
        library_delete(old);
    }
    timeline->modules = modules;
    timeline->modules_stale = false;
}

uint64_t elapsed_ms() {
    const uint64_t now = platform::monotonic_ms();
    return now > timeline->start_ms ? now - timeline->start_ms : 0;
}

bool flush_for_live(uint64_t elapsed);

__attribute__((noinline)) void time_record_if_due() {
    timeline->events_since_clock = 0;
    const uint64_t elapsed = elapsed_ms();
    live_stream_tick();
    if (live_attached && elapsed - timeline->last_flush_ms >= live_chunk_interval_ms &&
        !flush_for_live(elapsed))
        return;
    if (elapsed - timeline->last_time_written < time_record_ms || !room_for(longest_record)) return;
    ChunkWriter& w = timeline->writer;
    w.byte(tag_time);
    w.varint(elapsed);
    timeline->last_time_written = elapsed;
}

inline void count_event() {
    timeline->writer.count_event();
    if (++timeline->events_since_clock >=
        (live_attached ? events_per_clock_read_live : events_per_clock_read))
        time_record_if_due();
}

void write_mark(Tag tag, const char* name) {
    if (!room_for(longest_record)) return;
    ChunkWriter& w = timeline->writer;
    const uint64_t elapsed = elapsed_ms();
    w.byte(tag);
    if (tag == tag_phase) w.text(name);
    w.varint(elapsed);
    w.count_event();
    if (tag == tag_frame) ++timeline->frames;
    timeline->last_time_written = elapsed;
    timeline->events_since_clock = 0;
    // A mark is a moment the game chose: what came before it reaches the file
    // once the chunk is half full, well before a crash could take it, and a
    // viewer soon after it happened.
    if (w.buffered() * 2 >= chunk_capacity ||
        (live_attached && elapsed - timeline->last_flush_ms >= live_mark_interval_ms))
        flush_for_live(elapsed);
}

// Writes the chunk under way out; false when the file failed, which ends
// the timeline.
bool flush_for_live(uint64_t elapsed) {
    timeline->last_flush_ms = elapsed;
    if (timeline->writer.flush()) return true;
    end_failed();
    return false;
}

void mark(Tag tag, const char* name) {
    if (!timeline_on.load(std::memory_order_relaxed)) return;
    ModuleMap* modules = list_modules_if_stale();
    {
        LockHolder hold(library_lock());
        adopt_modules(modules);
        if (timeline_on.load(std::memory_order_relaxed)) write_mark(tag, name);
    }
    // A mark also looks for a viewer now and then, with nothing to send.
    live_stream_pump();
}

}  // namespace

void timeline_start(const char* file_name) {
    auto* made = static_cast<Timeline*>(library_alloc(sizeof(Timeline)));
    if (made == nullptr) return;
    new (made) Timeline;
    std::snprintf(made->file_name, sizeof(made->file_name), "%s", file_name);
    made->start_ms = platform::monotonic_ms();
    ModuleMap* modules = library_new<ModuleMap>();
    if (modules != nullptr) modules->take();
    LockHolder hold(library_lock());
    timeline = made;
    adopt_modules(modules);
    if (file_name[0] != '\0' && !made->writer.open(file_name)) {
        report_failure();
        made->writer.close();
        library_delete(made);
        timeline = nullptr;
        return;
    }
    timeline_on.store(true, std::memory_order_relaxed);
}

void timeline_stop() {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (timeline == nullptr) return;
    if (timeline_on.load(std::memory_order_relaxed) && !timeline->writer.flush()) report_failure();
    timeline_on.store(false, std::memory_order_relaxed);
    timeline->writer.close();
    library_delete(timeline->modules);
    library_delete(timeline);
    timeline = nullptr;
}

void timeline_forget_in_child() {
    if (timeline == nullptr) return;
    timeline_on.store(false, std::memory_order_relaxed);
    timeline->writer.abandon();
}

void timeline_allocation(const MemContext& context, const MemTrackEntry& entry) {
    TARVEX_CHECK_LIBRARY_LOCK();
    const uint32_t context_ref = context_index(context, entry.context_id);
    const uint32_t stack_ref = stack_index(entry);
    count_event();
    if (!room_for(longest_record)) return;
    ChunkWriter& w = timeline->writer;
    const uint64_t address = reinterpret_cast<uintptr_t>(entry.address);
    w.byte(tag_allocation);
    w.varint(context_ref);
    w.varint(entry.size);
    w.varint(zigzag(static_cast<int64_t>(address - timeline->last_address)));
    w.varint(zigzag(static_cast<int32_t>(entry.alloc_id - timeline->last_alloc_id - 1)));
    w.varint(stack_ref);
    timeline->last_address = address;
    timeline->last_alloc_id = entry.alloc_id;
}

void timeline_release(uint32_t alloc_id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    count_event();
    if (!room_for(longest_record)) return;
    ChunkWriter& w = timeline->writer;
    w.byte(tag_release);
    w.varint(zigzag(static_cast<int32_t>(timeline->last_alloc_id - alloc_id)));
}

void timeline_rewind(const MemContext& context, uint32_t context_id, bool reset,
                     uint32_t min_alloc_id) {
    TARVEX_CHECK_LIBRARY_LOCK();
    const uint32_t context_ref = context_index(context, context_id);
    count_event();
    if (!room_for(longest_record)) return;
    ChunkWriter& w = timeline->writer;
    w.byte(reset ? tag_reset : tag_release_to);
    w.varint(context_ref);
    if (!reset) w.varint(zigzag(static_cast<int32_t>(timeline->last_alloc_id - min_alloc_id)));
}

// ---------------------------------------------------------------------------
// What a live viewer's state is made of
// ---------------------------------------------------------------------------

void timeline_prepare_state() {
    TARVEX_CHECK_LIBRARY_LOCK();
    for (MemContext* context = registry_head(); context != nullptr; context = context->next)
        context_index(*context, context->id);
    // Every context of the registry has its index now: a block's context id
    // without one names no context.
    for_each_tracked([](const TrackedBlock& block) {
        if (timeline->contexts.find(ContextKey{block.entry.context_id}) == 0)
            context_index(null_context(), block.entry.context_id);
        stack_index(block.entry);
    });
    if (timeline_on.load(std::memory_order_relaxed)) flush_for_live(elapsed_ms());
}

TimelinePosition timeline_position() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return {timeline->frames, elapsed_ms(), timeline->last_address, timeline->last_alloc_id};
}

namespace {

// The keys of a set by their index, 1 to last(), null where a key found no
// room; null when there is no storage for the list.
template <typename Key>
const Key** by_index(const IndexSet<Key>& set) {
    const size_t bytes = (size_t{set.last()} + 1) * sizeof(Key*);
    auto* keys = static_cast<const Key**>(library_alloc(bytes));
    if (keys == nullptr) return nullptr;
    std::memset(static_cast<void*>(keys), 0, bytes);
    set.for_each([&](const Key& key, uint32_t index) { keys[index] = &key; });
    return keys;
}

}  // namespace

bool timeline_visit_dictionary(TimelineDictionary& visitor) {
    TARVEX_CHECK_LIBRARY_LOCK();
    // In the order of their indices, which a reader takes them in.
    const ContextKey** contexts = by_index(timeline->contexts);
    const StackKey** stacks = by_index(timeline->stacks);
    if (contexts != nullptr && stacks != nullptr) {
        for (uint32_t index = 1; index <= timeline->contexts.last(); ++index) {
            if (contexts[index] != nullptr) visitor.context(index, contexts[index]->id);
        }
        if (timeline->modules != nullptr) {
            timeline->modules->for_each_used([&](const ModuleMap::Module& module) {
                visitor.module(module.base, module.size, module.path);
            });
        }
        for (uint32_t index = 1; index <= timeline->stacks.last(); ++index) {
            if (stacks[index] == nullptr) continue;
            uint32_t frames = 0;
            while (frames < max_frames && stacks[index]->frames[frames] != 0) ++frames;
            visitor.stack(index, stacks[index]->frames, frames);
        }
    }
    const bool listed = contexts != nullptr && stacks != nullptr;
    library_free(contexts);
    library_free(stacks);
    return listed;
}

uint32_t timeline_context_ref(uint32_t id) {
    return timeline->contexts.find(ContextKey{id});
}

uint32_t timeline_stack_ref(const MemTrackEntry& entry) {
    if (entry.frames[0] == 0) return 0;
    StackKey key;
    std::memcpy(key.frames, entry.frames, sizeof(key.frames));
    return timeline->stacks.find(key);
}

}  // namespace tarvex

void Tarvex::frame_mark() {
    tarvex::mark(tarvex::tag_frame, nullptr);
}

void Tarvex::phase_mark(const char* name) {
    tarvex::mark(tarvex::tag_phase, name != nullptr ? name : "");
}
