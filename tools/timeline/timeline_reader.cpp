#include "timeline_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tracking/timeline_format.h"

namespace tarvex::timeline {

namespace {

using namespace timeline_format;

constexpr size_t frame_top = 3;  // keys kept for each frame, by bytes and by count
constexpr uint32_t none = IndexMap<uint32_t>::none;

// A record that runs past its chunk's end.
struct PastEnd {};

std::string format(const char* pattern, unsigned long long a, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

inline uint8_t byte_at(const uint8_t* p, const uint8_t* end) {
    if (p >= end) throw PastEnd{};
    return *p;
}

inline uint64_t varint(const uint8_t*& p, const uint8_t* end) {
    uint8_t b = byte_at(p++, end);
    if (b < 0x80) return b;
    uint64_t value = b & 0x7f;
    for (unsigned shift = 7;; shift += 7) {
        b = byte_at(p++, end);
        if (shift == 63) {
            if (b >= 0x80) throw ReadError{"a number longer than 64 bits"};
            if (b > 1) throw ReadError{"a number too large for its field"};
        }
        value |= uint64_t{b & 0x7fu} << shift;
        if (b < 0x80) return value;
    }
}

inline int64_t signed_varint(const uint8_t*& p, const uint8_t* end) {
    const uint64_t value = varint(p, end);
    return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

std::string text(const uint8_t*& p, const uint8_t* end) {
    const uint64_t size = varint(p, end);
    if (size > longest_text)
        throw ReadError{format("a text of %llu bytes (at most %llu)", size, longest_text)};
    if (size > static_cast<uint64_t>(end - p)) throw PastEnd{};
    std::string value(reinterpret_cast<const char*>(p), static_cast<size_t>(size));
    p += size;
    return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// The header and the chunks
// ---------------------------------------------------------------------------

void Reader::header(const uint8_t* head, size_t size) {
    if (size < sizeof(magic) || std::memcmp(head, magic, sizeof(magic)) != 0)
        throw ReadError{"not a Tarvex timeline: it does not start with TARVEXTL"};
    if (size < header_size) throw ReadError{"not a Tarvex timeline: its header is cut short"};
    version = static_cast<uint16_t>(head[8] | head[9] << 8);
    if (version < 1 || version > timeline_format::version)
        throw ReadError{format("timeline format %llu; this tool reads formats 1 to %llu", version,
                               timeline_format::version)};
    pointer_size = head[10];
    if (pointer_size != 4 && pointer_size != 8)
        throw ReadError{format("a header with pointers of %llu bytes (4 or 8)", pointer_size)};
}

void Reader::chunk(const uint8_t* data, size_t size, uint64_t offset) {
    const uint8_t* const end = data + size;
    const bool with_times = version >= 2;
    const uint8_t* p = data;
    const uint8_t* start = p;
    try {
        while (p < end) {
            start = p;
            switch (*p++) {
                case tag_allocation:
                    allocation(p, end);
                    break;
                case tag_release: {
                    const int64_t back = signed_varint(p, end);
                    release(last_id_ - static_cast<uint32_t>(back));
                    break;
                }
                case tag_frame:
                    if (with_times) advance(varint(p, end));
                    end_frame();
                    break;
                case tag_time:
                    if (!with_times) throw ReadError{"a record of unknown kind 10"};
                    advance(varint(p, end));
                    break;
                case tag_reset:
                    reset(slot_of(varint(p, end)));
                    ++resets;
                    break;
                case tag_release_to: {
                    const uint64_t index = varint(p, end);
                    const uint32_t mark = last_id_ - static_cast<uint32_t>(signed_varint(p, end));
                    release_to(slot_of(index), mark);
                    ++releases_to;
                    break;
                }
                case tag_context:
                    context(p, end);
                    break;
                case tag_stack:
                    stack(p, end);
                    break;
                case tag_module: {
                    Module module;
                    module.base = varint(p, end);
                    module.size = varint(p, end);
                    const uint64_t length = varint(p, end);
                    if (length > longest_text)
                        throw ReadError{format("a module path of %llu bytes (at most %llu)", length,
                                               longest_text)};
                    if (length > static_cast<uint64_t>(end - p)) throw PastEnd{};
                    module.path.assign(reinterpret_cast<const char*>(p),
                                       static_cast<size_t>(length));
                    p += length;
                    modules.push_back(std::move(module));
                    break;
                }
                case tag_position: {
                    // Where a live stream starts: the frames before it are
                    // not in it; the next allocation's id follows the id given.
                    varint(p, end);
                    advance(varint(p, end));
                    varint(p, end);
                    const uint64_t last = varint(p, end);
                    if (last > UINT32_MAX) throw ReadError{"a number too large for its field"};
                    last_id_ = static_cast<uint32_t>(last);
                    break;
                }
                case tag_context_state: {
                    Context& c = contexts[slot_of(varint(p, end))];
                    varint(p, end);
                    varint(p, end);
                    const uint64_t peak_bytes = varint(p, end);
                    varint(p, end);
                    if (peak_bytes > c.peak) {
                        c.peak = peak_bytes;
                        c.peak_frame = frame_;
                        c.peak_time = time;
                    }
                    break;
                }
                case tag_counter:
                    text(p, end);
                    varint(p, end);
                    varint(p, end);
                    break;
                case tag_lost:
                    // The viewer could not keep up: every block is given
                    // back, and the state that follows lists the live ones.
                    events_lost += varint(p, end);
                    for (uint32_t slot = 0; slot < contexts.size(); ++slot) reset(slot);
                    restating_ = true;
                    last_id_ = UINT32_MAX;  // the state's differences start afresh
                    break;
                case tag_phase: {
                    Phase phase;
                    phase.name = text(p, end);
                    phase.timed = with_times;
                    if (with_times) advance(varint(p, end));
                    phase.frame = frame_;
                    phase.time = time;
                    phase.made = made_before + count_;
                    phase.total = total;
                    for (const Context& c : contexts) phase.usage.push_back(c.usage);
                    phases.push_back(std::move(phase));
                    break;
                }
                default:
                    throw ReadError{format("a record of unknown kind %llu", *start)};
            }
        }
    } catch (const PastEnd&) {
        throw ReadError{format("offset %llu: a record that runs past the end of its chunk",
                               offset + static_cast<uint64_t>(start - data))};
    } catch (const ReadError& error) {
        throw ReadError{format("offset %llu: ", offset + static_cast<uint64_t>(start - data)) +
                        error.message};
    }
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

uint32_t Reader::slot_of(uint64_t index) const {
    if (index == 0 || index >= slots_.size())
        throw ReadError{format("context index %llu before its context record", index)};
    return slots_[static_cast<size_t>(index)];
}

uint32_t Reader::key_of(uint64_t stack, uint32_t slot) {
    // A stack is nearly always seen in one context: its last key, at hand.
    uint32_t found = stack_key_[static_cast<size_t>(stack)];
    if (found != none && keys[found].slot == slot) return found;
    const uint64_t key = stack << 32 | slot;
    found = key_index_.find(key);
    if (found != none) {
        stack_key_[static_cast<size_t>(stack)] = found;
        return found;
    }
    found = static_cast<uint32_t>(keys.size());
    keys.push_back(Key{});
    keys.back().stack = static_cast<uint32_t>(stack);
    keys.back().slot = slot;
    creep_ends_.resize(creep_ends_.size() + creep_buckets);
    keys.back().first_id = last_id_;
    key_index_.insert(key, found);
    stack_key_[static_cast<size_t>(stack)] = found;
    return found;
}

void Reader::allocation(const uint8_t*& p, const uint8_t* end) {
    const uint64_t index = varint(p, end);
    const uint64_t size = varint(p, end);
    // The address: the tool needs none, only that it is a number.
    const uint8_t* const address = p;
    while (byte_at(p, end) >= 0x80) ++p;
    if (p - address >= 9) {
        if (p - address > 9) throw ReadError{"a number longer than 64 bits"};
        if (*p > 1) throw ReadError{"a number too large for its field"};
    }
    ++p;
    const int64_t step = signed_varint(p, end);
    const uint32_t id = last_id_ + 1 + static_cast<uint32_t>(step);
    const uint64_t stack = varint(p, end);
    if (index == 0 || index >= slots_.size())
        throw ReadError{format("context index %llu before its context record", index)};
    if (stack >= stacks.size() + 1)
        throw ReadError{format("stack index %llu before its stack record", stack)};
    // One look finds the id live already, or takes it in.
    const uint32_t b =
        free_blocks_.empty() ? static_cast<uint32_t>(blocks_.size()) : free_blocks_.back();
    if (live_.insert(id, b) != none)
        throw ReadError{format("allocation id %llu is live already", id)};
    if (__builtin_add_overflow(allocated_, size, &allocated_))
        throw ReadError{"sizes that add up past 2^64 bytes"};
    const uint32_t slot = slots_[static_cast<size_t>(index)];
    last_id_ = id;
    const uint32_t k = key_of(stack, slot);
    Key& key = keys[k];
    Context& c = contexts[slot];

    if (b == blocks_.size())
        blocks_.emplace_back();
    else
        free_blocks_.pop_back();
    creep_touch(k);
    blocks_[b] = Block{id, k, size, frame_, c.last, none};
    if (c.last != none)
        blocks_[c.last].next = b;
    else
        c.first = b;
    c.last = b;

    key.made.add(size);
    key.live.add(size);
    if (key.frame_epoch != frame_ + 1) {
        key.frame_epoch = frame_ + 1;
        key.in_frame = Figure{};
        frame_keys_.push_back(k);
    }
    key.in_frame.add(size);
    ++count_;
    bytes_ += size;

    const uint64_t used = c.usage += size;
    if (used > c.frame_high) c.frame_high = used;
    if (used > c.second_high) c.second_high = used;
    ++c.allocations;
    if (used > c.peak) {
        c.peak = used;
        c.peak_frame = frame_;
        c.peak_id = id;
        c.has_peak = true;
        c.peak_time = time;
        ++c.epoch;
    } else {
        if (key.own_epoch != c.epoch) key.own_epoch = c.epoch, key.since_own = Figure{};
        key.since_own.add(size);
    }
    total += size;
    if (total > frame_total_high_) frame_total_high_ = total;
    if (total > second_total_high_) second_total_high_ = total;
    if (total > peak) {
        peak = total;
        peak_frame = frame_;
        peak_id = id;
        has_peak = true;
        peak_time = time;
        peak_made = made_before + count_;
        ++total_epoch_;
    } else {
        if (key.total_epoch != total_epoch_)
            key.total_epoch = total_epoch_, key.since_total = Figure{};
        key.since_total.add(size);
    }
}

void Reader::give_back(uint32_t b) {
    const Block block = blocks_[b];
    creep_touch(block.key);
    Key& key = keys[block.key];
    Context& c = contexts[key.slot];
    if (block.previous != none)
        blocks_[block.previous].next = block.next;
    else
        c.first = block.next;
    if (block.next != none)
        blocks_[block.next].previous = block.previous;
    else
        c.last = block.previous;
    free_blocks_.push_back(b);

    c.usage -= block.size;
    total -= block.size;
    key.live.take(block.size);
    if (key.own_epoch != c.epoch) key.own_epoch = c.epoch, key.since_own = Figure{};
    key.since_own.take(block.size);
    if (key.total_epoch != total_epoch_) key.total_epoch = total_epoch_, key.since_total = Figure{};
    key.since_total.take(block.size);
    if (block.frame == frame_) {
        key.short_lived.add(block.size);
        ++short_lived;
    }
    ++freed_;
}

void Reader::release(uint32_t id) {
    const uint32_t b = live_.remove(id);
    if (b == none) {
        // A file of a library that reset its ids without telling: the
        // release is left out, and told once.
        if (unknown_releases++ == 0) first_unknown = id;
        return;
    }
    give_back(b);
    ++releases;
}

void Reader::release_to(uint32_t slot, uint32_t mark) {
    // Blocks at or after the mark: the last ones the context made.
    const uint32_t reach = last_id_ - mark;
    for (uint32_t b = contexts[slot].last; b != none;) {
        const uint32_t previous = blocks_[b].previous;
        if (blocks_[b].id - mark > reach) break;
        live_.remove(blocks_[b].id);
        give_back(b);
        b = previous;
    }
}

void Reader::reset(uint32_t slot) {
    for (uint32_t b = contexts[slot].first; b != none;) {
        const uint32_t next = blocks_[b].next;
        live_.remove(blocks_[b].id);
        give_back(b);
        b = next;
    }
}

void Reader::context(const uint8_t*& p, const uint8_t* end) {
    const uint64_t index = varint(p, end);
    const uint64_t id = varint(p, end);
    const uint64_t soft = varint(p, end);
    const uint64_t hard = varint(p, end);
    std::string name = text(p, end);
    if (restating_ && index < slots_.size()) return;
    if (index != slots_.size())
        throw ReadError{format("context index %llu where %llu comes next", index, slots_.size())};
    if (id > UINT32_MAX) throw ReadError{"a number too large for its field"};
    uint32_t slot = slot_by_id_.find(static_cast<uint32_t>(id));
    if (slot == none) {
        // A context of an id seen before (made again) goes on in its slot.
        slot = static_cast<uint32_t>(contexts.size());
        slot_by_id_.insert(static_cast<uint32_t>(id), slot);
        contexts.emplace_back();
        Context& c = contexts.back();
        c.id = static_cast<uint32_t>(id);
        c.name = std::move(name);
        c.soft = soft;
        c.hard = hard;
        c.by_frame = by_frame.add_series();
        c.by_second = by_second.add_series();
    } else {
        Context& c = contexts[slot];
        c.soft = soft;
        c.hard = hard;
        if (!name.empty()) c.name = std::move(name);
    }
    slots_.push_back(slot);
}

void Reader::stack(const uint8_t*& p, const uint8_t* end) {
    const uint64_t index = varint(p, end);
    if (restating_ && index <= stacks.size()) {
        const unsigned count = byte_at(p++, end);
        for (unsigned i = 0; i < count; ++i) varint(p, end);
        return;
    }
    if (index != stacks.size() + 1)
        throw ReadError{format("stack index %llu where %llu comes next", index, stacks.size() + 1)};
    const unsigned count = byte_at(p++, end);
    if (count < 1 || count > longest_stack)
        throw ReadError{format("a stack of %llu frames (1 to %llu)", count, longest_stack)};
    std::vector<uint64_t> frames(count);
    for (uint64_t& frame : frames) frame = varint(p, end);
    stacks.push_back(std::move(frames));
    stack_key_.push_back(none);
}

// ---------------------------------------------------------------------------
// Frames and seconds
// ---------------------------------------------------------------------------

void Reader::advance(uint64_t now) {
    // A time before the last one (no clock of the library's) changes nothing.
    timed = true;
    if (now <= time) return;
    time = now;
    if (now / 1000 > second_) {
        end_second();
        second_ = now / 1000;
        creep_advance(second_);
    }
}

// ---------------------------------------------------------------------------
// Creep
// ---------------------------------------------------------------------------

// Before a key's live bytes change: the buckets closed since it last changed
// end with its live bytes as they are.
void Reader::creep_touch(uint32_t k) {
    Key& key = keys[k];
    if (key.creep_closed >= creep_at_) return;
    uint64_t* ends = &creep_ends_[size_t{k} * creep_buckets];
    for (uint32_t i = key.creep_closed; i < creep_at_; ++i) ends[i] = key.live.bytes;
    key.creep_closed = creep_at_;
}

void Reader::creep_advance(uint64_t second) {
    while (second / creep_width >= creep_buckets) {
        // Twice as wide: each bucket ends where the later of its pair did;
        // the bucket under way takes in the closed one before it, if any.
        const uint32_t closed = creep_at_ / 2;
        for (size_t k = 0; k < keys.size(); ++k) {
            uint64_t* ends = &creep_ends_[k * creep_buckets];
            const uint32_t had = keys[k].creep_closed;
            const uint32_t kept = std::min((had + 1) / 2, closed);
            for (uint32_t i = 0; i < kept; ++i) ends[i] = ends[std::min(2 * i + 1, had - 1)];
            keys[k].creep_closed = kept;
        }
        for (uint32_t i = 0; i < closed; ++i) creep_frames[i] = creep_frames[2 * i + 1];
        creep_frames.resize(closed);
        creep_width *= 2;
        creep_at_ /= 2;
    }
    const uint64_t at = second / creep_width;
    if (at > creep_at_) {
        creep_frames.resize(static_cast<size_t>(at), frame_);
        creep_at_ = static_cast<uint32_t>(at);
    }
}

void Reader::end_second() {
    for (Context& c : contexts) {
        by_second.close(c.by_second, second_, c.second_high, c.usage);
        c.second_high = c.usage;
    }
    by_second.close(total_by_second, second_, second_total_high_, total);
    second_total_high_ = total;
}

void Reader::end_frame() {
    for (Context& c : contexts) {
        by_frame.close(c.by_frame, frame_, c.frame_high, c.usage);
        if (c.soft != 0 && c.frame_high > c.soft) ++c.over_soft;
        if (c.hard != 0 && c.frame_high > c.hard) ++c.over_hard;
        c.frame_high = c.usage;
    }
    by_frame.close(total_by_frame, frame_, frame_total_high_, total);
    total_high.push_back(frame_total_high_);
    frame_total_high_ = total;
    counts.push_back(count_);
    made_before += count_;
    bytes.push_back(bytes_);
    freed.push_back(freed_);
    count_ = bytes_ = freed_ = 0;

    // The frame's biggest keys by bytes (then blocks), and by blocks; of
    // equal ones, those touched first.
    std::vector<uint32_t>& touched = frame_keys_;
    const auto keep = [&](uint32_t k) {
        top_keys.push_back(keys[k].id());
        top_bytes.push_back(keys[k].in_frame.bytes);
        top_counts.push_back(keys[k].in_frame.blocks);
    };
    if (touched.size() <= frame_top) {
        for (uint32_t k : touched) keep(k);
    } else {
        std::vector<uint32_t> order(touched.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        const auto by_bytes = [&](uint32_t a, uint32_t b) {
            const Figure &x = keys[touched[a]].in_frame, &y = keys[touched[b]].in_frame;
            if (x.bytes != y.bytes) return x.bytes > y.bytes;
            if (x.blocks != y.blocks) return x.blocks > y.blocks;
            return a < b;
        };
        const auto by_blocks = [&](uint32_t a, uint32_t b) {
            const Figure &x = keys[touched[a]].in_frame, &y = keys[touched[b]].in_frame;
            if (x.blocks != y.blocks) return x.blocks > y.blocks;
            return a < b;
        };
        std::partial_sort(order.begin(), order.begin() + frame_top, order.end(), by_bytes);
        uint32_t chosen[2 * frame_top];
        std::copy(order.begin(), order.begin() + frame_top, chosen);
        std::partial_sort(order.begin(), order.begin() + frame_top, order.end(), by_blocks);
        std::copy(order.begin(), order.begin() + frame_top, chosen + frame_top);
        std::sort(chosen, chosen + 2 * frame_top);
        const auto last = std::unique(chosen, chosen + 2 * frame_top);
        for (const uint32_t* i = chosen; i != last; ++i) keep(touched[*i]);
    }
    top_start.push_back(top_keys.size());
    touched.clear();
    ++frame_;
}

void Reader::finish() {
    end_frame();
    end_second();
    creep_frames.resize(creep_at_ + 1);
    creep_frames[creep_at_] = counts.size();
}

}  // namespace tarvex::timeline
