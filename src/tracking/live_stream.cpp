#include "tracking/live_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/library_storage.h"
#include "counters/counters.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "tracking/timeline.h"
#include "tracking/timeline_format.h"
#include "tracking/track_table.h"

namespace tarvex {

bool live_attached = false;
std::atomic<bool> live_pump_wanted{false};

namespace {

using namespace timeline_format;
using platform::no_socket;
using platform::Socket;

// A chunk of the state holds about this much, as the writer's chunks do.
constexpr size_t state_chunk_goal = 60 * 1024;
constexpr size_t longest_state_record = 16 + 6 * 10 + longest_text;
// The named counters go out this often while chunks flow.
constexpr uint64_t counters_interval_ms = 500;
// A failed listen is tried again this often, quietly.
constexpr uint64_t listen_retry_ms = 2000;
// With nothing queued, a mark looks for a viewer at most this often; with
// bytes to send, a call tries at most this often (a stalled viewer costs a
// game that allocates flat out a few system calls a second, not one a call).
constexpr uint64_t idle_poll_ms = 20;
constexpr uint64_t busy_poll_ms = 5;

// ---------------------------------------------------------------------------
// The queue: what the viewer has not taken yet
//
// A ring of bytes with one writer and one reader: the writer (chunk flushes
// and the state) holds the library lock, the reader is the pump, alone by
// `pump_busy`. `head` and `tail` count the bytes ever read and written,
// modulo 2^N; only the reader moves the head and only the writer the tail.
// Clearing it needs both sides: the library lock and the pump.
// ---------------------------------------------------------------------------

class ByteQueue {
public:
    bool reserve(size_t capacity) {
        if (bytes_ != nullptr) return true;
        bytes_ = static_cast<unsigned char*>(library_alloc(capacity));
        capacity_ = bytes_ != nullptr ? capacity : 0;
        return bytes_ != nullptr;
    }
    void release() {
        library_free(bytes_);
        bytes_ = nullptr;
        capacity_ = 0;
    }
    void clear() { head_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed); }

    // Both pieces or neither.
    bool push(const void* first, size_t first_size, const void* second, size_t second_size) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t used = tail - head_.load(std::memory_order_acquire);
        if (bytes_ == nullptr || first_size + second_size > capacity_ - used) return false;
        copy_in(tail, first, first_size);
        copy_in(tail + first_size, second, second_size);
        tail_.store(tail + first_size + second_size, std::memory_order_release);
        return true;
    }

    // The reader: the bytes waiting that lie in one piece.
    size_t waiting(const unsigned char*& at) const {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t count = tail_.load(std::memory_order_acquire) - head;
        if (count == 0) return 0;
        const size_t offset = head % capacity_;
        at = bytes_ + offset;
        return std::min(count, capacity_ - offset);
    }
    void consume(size_t count) {
        head_.store(head_.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    bool empty() const {
        return head_.load(std::memory_order_relaxed) == tail_.load(std::memory_order_acquire);
    }

private:
    void copy_in(size_t at, const void* data, size_t size) {
        if (size == 0) return;
        const size_t offset = at % capacity_;
        const size_t first = std::min(size, capacity_ - offset);
        std::memcpy(bytes_ + offset, data, first);
        std::memcpy(bytes_, static_cast<const unsigned char*>(data) + first, size - first);
    }

    unsigned char* bytes_ = nullptr;
    size_t capacity_ = 0;
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

// ---------------------------------------------------------------------------
// The stream's state
// ---------------------------------------------------------------------------

struct Stream {
    // From the configuration; fixed while the library runs.
    bool configured = false;
    uint32_t address = 0;
    uint16_t port = 0;
    size_t queue_capacity = 0;
    // The pump's own.
    Socket listener = no_socket;
    Socket viewer = no_socket;
    uint64_t next_listen_ms = 0;
    uint64_t last_pump_ms = 0;
    // Guarded by the library lock: chunks are dropped from the first that
    // did not fit until the viewer has caught up and has the state again.
    bool lost_track = false;
    uint64_t lost_events = 0;
    uint64_t last_counters_ms = 0;
    ByteQueue queue;
};

Stream stream;
std::atomic<bool> pump_busy{false};

// Each kind of trouble is told once in the process's life.
struct Told {
    std::atomic<bool> listen_failed{false}, listening{false}, second_viewer{false},
        viewer_sent{false}, viewer_left{false}, state_too_large{false};
};
Told told;

void tell_once(std::atomic<bool>& flag, const char* text) {
    if (!flag.exchange(true, std::memory_order_relaxed)) log_message(text);
}

void format_address(char* out, size_t capacity, uint32_t address, uint16_t port) {
    std::snprintf(out, capacity, "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 0xff,
                  (address >> 8) & 0xff, address & 0xff, port);
}

// ---------------------------------------------------------------------------
// The state, as records: what a viewer needs to read the chunks that follow
// ---------------------------------------------------------------------------

// Records into chunks of the usual size, each pushed whole into the queue;
// `ok` goes false for good when one does not fit or there is no storage.
class StateChunks {
public:
    StateChunks()
        : records_(
              static_cast<unsigned char*>(library_alloc(state_chunk_goal + longest_state_record))) {
    }
    ~StateChunks() { library_free(records_); }
    StateChunks(const StateChunks&) = delete;
    StateChunks& operator=(const StateChunks&) = delete;

    // Room for one record; false once the state cannot be sent.
    bool record() {
        if (used_ >= state_chunk_goal) emit();
        return ok();
    }
    void byte(uint8_t value) { records_[used_++] = value; }
    void varint(uint64_t value) { used_ += put_varint(records_ + used_, value); }
    void text(const char* value) {
        const size_t length = value != nullptr ? strnlen(value, longest_text) : 0;
        varint(length);
        if (length != 0) std::memcpy(records_ + used_, value, length);
        used_ += length;
    }
    bool finish() {
        emit();
        return ok();
    }
    bool ok() const { return records_ != nullptr && !failed_; }

private:
    void emit() {
        if (!ok() || used_ == 0) return;
        unsigned char length[4];
        for (int i = 0; i < 4; ++i) length[i] = static_cast<unsigned char>(used_ >> (8 * i));
        failed_ = !stream.queue.push(length, sizeof(length), records_, used_);
        used_ = 0;
    }

    unsigned char* records_;
    size_t used_ = 0;
    bool failed_ = false;
};

MemContext* registered_context(uint32_t id) {
    for (MemContext* context = registry_head(); context != nullptr; context = context->next) {
        if (context->id == id) return context;
    }
    return nullptr;
}

class DictionaryRecords final : public TimelineDictionary {
public:
    explicit DictionaryRecords(StateChunks& out) : out_(out) {}

    void context(uint32_t index, uint32_t id) override {
        if (!out_.record()) return;
        const MemContext* context = registered_context(id);
        out_.byte(tag_context);
        out_.varint(index);
        out_.varint(id);
        out_.varint(context != nullptr ? context->budget.limits.soft : 0);
        out_.varint(context != nullptr ? context->budget.limits.hard : 0);
        out_.text(context != nullptr ? context->name : "");
    }
    void module(uint64_t base, uint64_t size, const char* path) override {
        if (!out_.record()) return;
        out_.byte(tag_module);
        out_.varint(base);
        out_.varint(size);
        out_.text(path);
    }
    void stack(uint32_t index, const uintptr_t* frames, uint32_t count) override {
        if (!out_.record()) return;
        out_.byte(tag_stack);
        out_.varint(index);
        out_.byte(static_cast<uint8_t>(count));
        for (uint32_t i = 0; i < count; ++i) out_.varint(frames[i]);
    }

private:
    StateChunks& out_;
};

struct LiveBlock {
    uint32_t alloc_id;
    uint32_t size;
    uint32_t context_ref;
    uint32_t stack_ref;
    uint64_t address;
};

// The live blocks as allocation records, oldest first (a release to a mark
// gives back the last ones a context made), differences as in the file.
bool write_live_blocks(StateChunks& out, const TimelinePosition& position) {
    const uint32_t capacity = track_table_size();
    auto* blocks = static_cast<LiveBlock*>(library_alloc(sizeof(LiveBlock) * (capacity + 1)));
    if (blocks == nullptr) return false;
    uint32_t count = 0;
    for_each_tracked([&](const TrackedBlock& tracked) {
        const uint32_t context_ref = timeline_context_ref(tracked.entry.context_id);
        if (count == capacity || context_ref == 0) return;
        blocks[count++] = {tracked.entry.alloc_id, tracked.entry.size, context_ref,
                           timeline_stack_ref(tracked.entry),
                           reinterpret_cast<uintptr_t>(tracked.entry.address)};
    });
    const uint32_t next_id = position.last_alloc_id + 1;
    std::sort(blocks, blocks + count, [next_id](const LiveBlock& a, const LiveBlock& b) {
        return a.alloc_id - next_id < b.alloc_id - next_id;
    });
    uint64_t last_address = 0;
    uint32_t last_id = UINT32_MAX;
    for (uint32_t i = 0; i < count && out.record(); ++i) {
        const LiveBlock& block = blocks[i];
        out.byte(tag_allocation);
        out.varint(block.context_ref);
        out.varint(block.size);
        out.varint(zigzag(static_cast<int64_t>(block.address - last_address)));
        out.varint(zigzag(static_cast<int32_t>(block.alloc_id - last_id - 1)));
        out.varint(block.stack_ref);
        last_address = block.address;
        last_id = block.alloc_id;
    }
    library_free(blocks);
    return out.ok();
}

// pre: the library lock is held. Every named counter, with its peak.
void write_counters(StateChunks& out) {
    for_each_counter([&](const MemTypeDefs::Counter& counter) {
        if (!out.record()) return;
        out.byte(tag_counter);
        out.text(counter.name);
        out.varint(counter.count);
        out.varint(counter.peak);
    });
    stream.last_counters_ms = platform::monotonic_ms();
}

// pre: the library lock is held, the pump is ours, and the queue is empty.
// The header (for a new viewer), then the events lost (after a loss), the
// dictionary, the live blocks, each context's figures and where the stream
// stands. False when it does not fit the queue.
bool write_state(bool header) {
    // A timeline that ended (the final shutdown, a file that failed) has no
    // state to give.
    if (!timeline_on.load(std::memory_order_relaxed)) return false;
    timeline_prepare_state();
    if (!timeline_on.load(std::memory_order_relaxed)) return false;
    if (header) {
        unsigned char bytes[header_bytes];
        fill_header(bytes);
        if (!stream.queue.push(bytes, sizeof(bytes), bytes, 0)) return false;
    }
    StateChunks out;
    // After a loss, also of chunks without events: the reader gives its
    // blocks back and takes the dictionary again.
    if (stream.lost_track && out.record()) {
        out.byte(tag_lost);
        out.varint(stream.lost_events);
    }
    DictionaryRecords dictionary(out);
    if (!timeline_visit_dictionary(dictionary)) return false;
    const TimelinePosition position = timeline_position();
    if (!write_live_blocks(out, position)) return false;
    for (MemContext* context = registry_head(); context != nullptr; context = context->next) {
        const uint32_t index = timeline_context_ref(context->id);
        if (index == 0 || !out.record()) continue;
        out.byte(tag_context_state);
        out.varint(index);
        out.varint(context->usage);
        out.varint(context->fragments);
        out.varint(context->usage_peak);
        out.varint(context->fragments_peak);
    }
    write_counters(out);
    if (out.record()) {
        out.byte(tag_position);
        out.varint(position.frames);
        out.varint(position.time_ms);
        out.varint(position.last_address);
        out.varint(position.last_alloc_id);
    }
    if (!out.finish()) return false;
    stream.lost_track = false;
    stream.lost_events = 0;
    return true;
}

// ---------------------------------------------------------------------------
// The pump: listener, viewer, and the bytes between them
// ---------------------------------------------------------------------------

void tell_state_too_large() {
    char text[160];
    std::snprintf(text, sizeof(text),
                  "ERROR: Live view: the game's state does not fit the queue of %u MiB; the "
                  "viewer is closed (a larger queue: Live: <port> <MiB>)",
                  static_cast<unsigned>(stream.queue_capacity >> 20));
    tell_once(told.state_too_large, text);
}

void open_listener(uint64_t now) {
    if (stream.listener != no_socket || now < stream.next_listen_ms) return;
    stream.listener = platform::socket_listen(stream.address, stream.port);
    char where[32];
    if (stream.listener == no_socket) {
        stream.next_listen_ms = now + listen_retry_ms;
        format_address(where, sizeof(where), stream.address, stream.port);
        char text[128];
        std::snprintf(text, sizeof(text),
                      "ERROR: Live view: cannot listen on %s (the port in use?); trying again",
                      where);
        tell_once(told.listen_failed, text);
        return;
    }
    format_address(where, sizeof(where), stream.address,
                   platform::socket_bound_port(stream.listener));
    char text[64];
    std::snprintf(text, sizeof(text), "Live view on %s", where);
    tell_once(told.listening, text);
}

void drop_viewer() {
    platform::socket_close(stream.viewer);
    stream.viewer = no_socket;
    LockHolder hold(library_lock());
    live_attached = false;
    stream.queue.clear();
}

void attach(Socket viewer) {
    bool fits;
    {
        LockHolder hold(library_lock());
        fits = timeline_on.load(std::memory_order_relaxed) &&
               stream.queue.reserve(stream.queue_capacity);
        if (fits) {
            stream.queue.clear();
            stream.lost_track = false;
            stream.lost_events = 0;
            fits = write_state(true);
        }
        live_attached = fits;
        if (!fits) stream.queue.clear();
    }
    if (!fits) {
        platform::socket_close(viewer);
        tell_state_too_large();
        return;
    }
    stream.viewer = viewer;
}

// A viewer only reads: bytes from the peer, or its end, close it. False
// when it was closed.
bool viewer_still_there() {
    unsigned char scratch[64];
    const long got = platform::socket_receive(stream.viewer, scratch, sizeof(scratch));
    if (got == 0) return true;
    drop_viewer();
    if (got > 0) {
        tell_once(told.viewer_sent, "Live view: the viewer sent data, and was closed");
    } else {
        tell_once(told.viewer_left, "Live view: the viewer left");
    }
    return false;
}

void accept_viewers() {
    if (stream.listener == no_socket) return;
    for (int i = 0; i < 16; ++i) {
        const Socket peer = platform::socket_accept(stream.listener);
        if (peer == no_socket) return;
        // A viewer that has gone makes way for the one that came.
        if (stream.viewer == no_socket || !viewer_still_there()) {
            attach(peer);
            continue;
        }
        platform::socket_close(peer);
        tell_once(told.second_viewer, "Live view: a second viewer was refused (one at a time)");
    }
}

// Sends what lies in the queue until the viewer's window is full; false when
// the connection is gone.
bool send_queued() {
    for (int i = 0; i < 64; ++i) {
        const unsigned char* at = nullptr;
        const size_t count = stream.queue.waiting(at);
        if (count == 0) return true;
        const long sent = platform::socket_send(stream.viewer, at, count);
        if (sent < 0) return false;
        if (sent == 0) return true;
        stream.queue.consume(static_cast<size_t>(sent));
    }
    return true;
}

void serve_viewer() {
    if (!viewer_still_there()) return;
    if (!send_queued()) {
        drop_viewer();
        tell_once(told.viewer_left, "Live view: the viewer left");
        return;
    }
    if (!stream.queue.empty()) return;
    // Caught up after a loss: the events lost, and the state afresh.
    bool fits = true;
    {
        LockHolder hold(library_lock());
        if (stream.lost_track) fits = write_state(false);
    }
    if (!fits) {
        drop_viewer();
        tell_state_too_large();
    }
}

bool library_lock_held_here() {
    return platform::lock_held_by_current_thread(&library_lock().section);
}

}  // namespace

// ---------------------------------------------------------------------------
// The interface
// ---------------------------------------------------------------------------

void live_stream_configure(const LiveSetting& setting) {
    stream.configured = setting.on;
    stream.address = setting.address;
    stream.port = setting.port;
    stream.queue_capacity = size_t{setting.queue_mib} << 20;
    stream.next_listen_ms = 0;
    stream.last_pump_ms = 0;
    if (setting.on) live_pump_wanted.store(true, std::memory_order_relaxed);
}

void live_stream_chunk(const unsigned char (&length)[4], const unsigned char* records, size_t size,
                       uint32_t events) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (!stream.lost_track && !stream.queue.push(length, sizeof(length), records, size))
        stream.lost_track = true;
    if (stream.lost_track) stream.lost_events += events;
    // The counters change without events: they ride along now and then, in
    // a chunk of their own.
    if (!stream.lost_track &&
        platform::monotonic_ms() - stream.last_counters_ms >= counters_interval_ms) {
        StateChunks out;
        write_counters(out);
        if (!out.finish()) stream.lost_track = true;
    }
    live_pump_wanted.store(true, std::memory_order_relaxed);
}

void live_stream_tick() {
    if (stream.configured) live_pump_wanted.store(true, std::memory_order_relaxed);
}

void live_stream_pump() {
    if (!stream.configured) return;
    const uint64_t now = platform::monotonic_ms();
    // Too soon: the next flush, clock reading or mark asks again, so that the
    // calls in between pay nothing.
    const bool wanted = live_pump_wanted.exchange(false, std::memory_order_relaxed);
    if (now - stream.last_pump_ms < (wanted ? busy_poll_ms : idle_poll_ms)) return;
    if (library_lock_held_here()) {
        live_pump_wanted.store(true, std::memory_order_relaxed);
        return;
    }
    if (pump_busy.exchange(true, std::memory_order_acquire)) return;
    stream.last_pump_ms = now;
    open_listener(now);
    accept_viewers();
    if (stream.viewer != no_socket) serve_viewer();
    pump_busy.store(false, std::memory_order_release);
}

void live_stream_close() {
    if (!stream.configured || library_lock_held_here()) return;
    if (pump_busy.exchange(true, std::memory_order_acquire)) return;
    if (stream.viewer != no_socket) send_queued();
    platform::socket_close(stream.viewer);
    platform::socket_close(stream.listener);
    stream.viewer = stream.listener = no_socket;
    {
        LockHolder hold(library_lock());
        live_attached = false;
        stream.lost_track = false;
        stream.queue.clear();
        stream.queue.release();
    }
    stream.configured = false;
    pump_busy.store(false, std::memory_order_release);
}

void live_stream_forget_in_child() {
    platform::socket_close(stream.viewer);
    platform::socket_close(stream.listener);
    stream.viewer = stream.listener = no_socket;
    stream.configured = false;
    live_attached = false;
}

}  // namespace tarvex
