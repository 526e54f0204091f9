// The timeline: in tracking mode, every tracked allocation and release, every
// arena reset and release to a mark, and the game's frame and phase marks, as
// a compact binary stream that tarvex-report turns into memory over time.
// The format is docs/timeline-format.md.
//
// Events are written into a buffer of bounded size, and the buffer to the
// file as one chunk when it is full, at a mark of the game's when it is half
// full, and at the final shutdown: a crash loses at most the last chunk.
// Whatever an event refers to (its context, its stack, the modules of the
// stack's frames) is written before it. A write that fails is reported once
// and ends the timeline; the game goes on.
#pragma once

#include <stdint.h>

#include <atomic>

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// Whether a timeline is being written: the one comparison a frame or phase
// mark makes when there is none.
extern std::atomic<bool> timeline_on;

// Opens the file, writes the header and lists the modules loaded now.
// pre: a start in tracking mode has run; the library lock is not held (the
// modules are listed under the loader's lock).
void timeline_start(const char* file_name);
// Writes what is buffered and closes the file. pre: the library lock is
// held, at the final shutdown.
void timeline_stop();
// In a forked child: the timeline ends without writing anything more, so
// that the parent's file gets nothing twice.
void timeline_forget_in_child();

// pre for these three: the library lock is held, and timeline_on.
void timeline_allocation(const MemContext& context, const MemTrackEntry& entry);
void timeline_release(uint32_t alloc_id);
// An arena gave back everything (a reset) or what came from `min_alloc_id`
// on (a release to a mark).
void timeline_rewind(const MemContext& context, uint32_t context_id, bool reset,
                     uint32_t min_alloc_id);

// ---------------------------------------------------------------------------
// For the live stream (live_stream.cpp), whose viewer gets the state of the
// run when it connects, in the timeline's own records and indices.
// pre for all: the library lock is held, and timeline_on.
// ---------------------------------------------------------------------------

// Gives an index to every context of the registry and every context and
// stack of a live block, and writes the chunk under way out: what follows
// it refers only to what the state lists.
void timeline_prepare_state();

// Where the stream stands: the frames marked, the time, and the previous
// allocation's address and id, from which the next allocation's differ.
struct TimelinePosition {
    uint64_t frames;
    uint64_t time_ms;
    uint64_t last_address;
    uint32_t last_alloc_id;
};
TimelinePosition timeline_position();

// Every context and stack written so far, with its index, and the modules.
struct TimelineDictionary {
    virtual void context(uint32_t index, uint32_t id) = 0;
    virtual void module(uint64_t base, uint64_t size, const char* path) = 0;
    virtual void stack(uint32_t index, const uintptr_t* frames, uint32_t count) = 0;

protected:
    ~TimelineDictionary() = default;
};
// False when there was no storage to list them in order.
bool timeline_visit_dictionary(TimelineDictionary& visitor);
// The index of a context id and of a live block's stack; 0 for none.
uint32_t timeline_context_ref(uint32_t id);
uint32_t timeline_stack_ref(const MemTrackEntry& entry);

}  // namespace tarvex
