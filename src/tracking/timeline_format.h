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
};

constexpr char magic[8] = {'T', 'A', 'R', 'V', 'E', 'X', 'T', 'L'};
// The version written; a reader reads every version up to its own.
constexpr uint16_t version = 2;
// The longest name or path a record carries, and the most frames of a stack.
constexpr size_t longest_text = 1024;
constexpr unsigned longest_stack = 16;

}  // namespace tarvex::timeline_format
