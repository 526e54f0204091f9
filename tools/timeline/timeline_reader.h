// The native reader of a Tarvex timeline (docs/timeline-format.md): one
// streaming pass over the chunks, which gathers what tarvex-report shows of
// the run. It gives the same figures as the Python reader
// (tools/tarvex_report/timeline.py), tens of times faster.
//
// Memory is bounded by the live blocks, the distinct stacks and keys, the
// contexts times a fixed number of buckets, and a few numbers per frame.
//
// Figures are kept per "stack key" (a stack index and a context slot,
// stack << 32 | slot). What was live at a peak comes without a second pass:
// live at the end, less what changed since the peak; a key's change since a
// peak counts only while its epoch is the peak's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tables.h"

namespace tarvex::timeline {

// A file that is no timeline, or a record that makes no sense; the message
// is one line, as the Python reader words it.
struct ReadError {
    std::string message;
};

constexpr size_t header_size = 16;
// A chunk is a buffer of the library, of bounded size; a length past this
// is no chunk's and would ask for that much memory.
constexpr uint32_t longest_chunk = 256u << 20;

struct Context {
    uint32_t id = 0;
    std::string name;
    uint64_t soft = 0, hard = 0;
    uint64_t peak = 0, peak_frame = 0, peak_time = 0;
    bool has_peak = false;
    uint32_t peak_id = 0;
    uint64_t allocations = 0, over_soft = 0, over_hard = 0;
    uint64_t usage = 0, frame_high = 0, second_high = 0;
    size_t by_frame = 0, by_second = 0;
    uint32_t epoch = 1;  // of its own peak
    // Its live blocks, oldest first.
    uint32_t first = IndexMap<uint32_t>::none, last = IndexMap<uint32_t>::none;
};

// bytes and blocks together; arithmetic modulo 2^64, whose results are
// exact where the true figure is (a change since a peak may go below 0).
struct Figure {
    uint64_t bytes = 0, blocks = 0;
    void add(uint64_t size) { bytes += size, blocks += 1; }
    void take(uint64_t size) { bytes -= size, blocks -= 1; }
    bool zero() const { return bytes == 0 && blocks == 0; }
};

// What every allocation and release of the key touches comes first, on
// one pair of cache lines: the keys are many and touched at random.
struct alignas(64) Key {
    Figure made, live;
    Figure since_own, since_total;  // since the context's peak, the total's
    Figure in_frame;
    uint64_t frame_epoch = 0;  // the frame of in_frame, plus one
    uint32_t own_epoch = 0, total_epoch = 0;
    uint32_t slot;
    uint32_t stack;
    uint32_t first_id;
    uint32_t creep_closed = 0;  // creep buckets whose end it has written
    Figure short_lived;

    uint64_t id() const { return uint64_t{stack} << 32 | slot; }
};
static_assert(sizeof(Key) == 128, "a key spans two cache lines");

// Per stack key, its live bytes at the end of each of at most this many
// buckets of seconds: how a site grows over the run.
constexpr uint32_t creep_buckets = 32;

struct Block {
    uint32_t id;
    uint32_t key;
    uint64_t size;
    uint64_t frame;
    uint32_t previous, next;  // in its context's list
};

struct Phase {
    std::string name;
    uint64_t frame;
    bool timed;
    uint64_t time, made, total;
    std::vector<uint64_t> usage;
};

class Reader {
public:
    // Reads the header's version and pointer size; throws ReadError.
    void header(const uint8_t* head, size_t size);
    // Reads one whole chunk of records; offset is its first byte's in the
    // file, for the messages. Throws ReadError.
    void chunk(const uint8_t* data, size_t size, uint64_t offset);
    // Closes the frame and second under way.
    void finish();

    // ------------------------------------------------------------ found
    uint16_t version = 0;
    uint8_t pointer_size = 0;
    std::vector<Context> contexts;
    std::vector<std::vector<uint64_t>> stacks;
    struct Module {
        uint64_t base, size;
        std::string path;
    };
    std::vector<Module> modules;
    std::vector<Phase> phases;
    std::vector<Key> keys;
    Axis by_frame, by_second;
    size_t total_by_frame = by_frame.add_series(), total_by_second = by_second.add_series();
    uint64_t releases = 0, resets = 0, releases_to = 0, short_lived = 0;
    uint64_t unknown_releases = 0;
    uint64_t events_lost = 0;  // a live stream's, which its viewer could not take
    uint32_t first_unknown = 0;
    bool timed = false;
    uint64_t time = 0;
    uint64_t peak = 0, peak_frame = 0, peak_time = 0, peak_made = 0;
    bool has_peak = false;
    uint32_t peak_id = 0;
    uint64_t total = 0;
    uint64_t made_before = 0;  // allocations of the frames before the one under way
    size_t live_blocks() const { return live_.size(); }
    uint32_t total_epoch() const { return total_epoch_; }
    // Per frame.
    std::vector<uint64_t> counts, bytes, freed, total_high;
    std::vector<uint64_t> top_start{0}, top_keys, top_bytes, top_counts;
    // Creep: the seconds a bucket spans, the frames closed by each bucket's
    // end, and each key's live bytes at each bucket's end.
    uint64_t creep_width = 1;
    std::vector<uint64_t> creep_frames;
    uint32_t creep_at() const { return creep_at_; }
    uint64_t creep_end(uint32_t key, uint32_t bucket) const {
        return bucket < keys[key].creep_closed ? creep_ends_[key * creep_buckets + bucket]
                                               : keys[key].live.bytes;
    }

private:
    void allocation(const uint8_t*& p, const uint8_t* end);
    void release(uint32_t id);
    void give_back(uint32_t block);
    void release_to(uint32_t slot, uint32_t mark);
    void reset(uint32_t slot);
    void context(const uint8_t*& p, const uint8_t* end);
    void stack(const uint8_t*& p, const uint8_t* end);
    void advance(uint64_t now);
    void end_frame();
    void end_second();
    void creep_touch(uint32_t key);
    void creep_advance(uint64_t second);
    uint32_t slot_of(uint64_t index) const;
    uint32_t key_of(uint64_t stack, uint32_t slot);

    std::vector<uint32_t> slots_{0};  // context index -> slot
    IndexMap<uint32_t> slot_by_id_;
    IdMap live_;  // allocation id -> block
    std::vector<Block> blocks_;
    std::vector<uint32_t> free_blocks_;
    IndexMap<uint64_t> key_index_;                               // stack key -> index in keys
    std::vector<uint32_t> stack_key_{IndexMap<uint32_t>::none};  // stack -> its last key
    std::vector<uint32_t> frame_keys_;  // keys of the frame under way, first touch first
    uint32_t total_epoch_ = 1;
    std::vector<uint64_t> creep_ends_;  // creep_buckets per key
    uint32_t creep_at_ = 0;             // the creep bucket under way
    uint64_t frame_ = 0, second_ = 0;
    uint64_t count_ = 0, bytes_ = 0, freed_ = 0;  // of the frame under way
    uint64_t frame_total_high_ = 0, second_total_high_ = 0;
    uint64_t allocated_ = 0;
    uint32_t last_id_ = UINT32_MAX;
    bool restating_ = false;  // after lost events, the state lists all again
};

}  // namespace tarvex::timeline
