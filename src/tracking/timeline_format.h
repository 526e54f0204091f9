// The timeline file's records and limits (docs/timeline-format.md), shared
// by the library's writer (timeline.cpp) and the native reader that
// tarvex-report runs (tools/timeline/), so that the two cannot drift apart.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tarvex::timeline_format {

enum Tag : uint8_t {
    tag_context = 1,
    tag_module = 2,
    tag_stack = 3,
    tag_allocation = 4,
    tag_release = 5,
    tag_reset = 6,
    tag_release_to = 7,
    tag_frame = 8,
    tag_phase = 9,
    tag_time = 10,  // from version 2
    // Only in the live stream (and the files its viewer records); see
    // docs/timeline-format.md.
    tag_position = 11,
    tag_context_state = 12,
    tag_lost = 13,
    tag_counter = 14,
};

constexpr char magic[8] = {'T', 'A', 'R', 'V', 'E', 'X', 'T', 'L'};
// The version written; a reader reads every version up to its own.
constexpr uint16_t version = 2;
// The longest name or path a record carries, and the most frames of a stack.
constexpr size_t longest_text = 1024;
constexpr unsigned longest_stack = 16;
constexpr size_t header_bytes = 16;

// The header: the magic, the version and the writer's pointer size.
inline void fill_header(unsigned char (&header)[header_bytes]) {
    for (size_t i = 0; i < header_bytes; ++i) header[i] = i < sizeof(magic) ? magic[i] : 0;
    header[8] = version & 0xff;
    header[9] = version >> 8;
    header[10] = sizeof(void*);
}

// A varint at `out`, which has room for 10 bytes; returns the bytes written.
inline size_t put_varint(unsigned char* out, uint64_t value) {
    size_t used = 0;
    while (value >= 0x80) {
        out[used++] = static_cast<unsigned char>(value | 0x80);
        value >>= 7;
    }
    out[used++] = static_cast<unsigned char>(value);
    return used;
}

inline uint64_t zigzag(int64_t value) {
    return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

}  // namespace tarvex::timeline_format
