// The live stream: with "Live:" in tarvex.ini, the game serves its timeline
// to one viewer over TCP while it plays (docs/timeline-format.md, "The live
// stream").
//
// The library starts no thread, so everything happens on calls the game
// makes anyway: the chunk flushes copy each chunk into a bounded queue under
// the library lock, and the marks (and tracked calls, when there is work)
// run the pump after leaving it, which accepts, sends and reads with
// non-blocking sockets. No socket call is made while the library lock is
// held, and none ever waits. When the viewer cannot keep up and the queue is
// full, chunks are dropped; once it has caught up, it is told how many
// events it lost and gets the state afresh.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "config/config_line.h"

namespace tarvex {

// Whether a viewer takes the chunks. Guarded by the library lock.
extern bool live_attached;
// Set when the pump has work: the one test a tracked call makes.
extern std::atomic<bool> live_pump_wanted;

// The chunks reach a viewer at least this often while the game allocates,
// and this soon after a mark.
constexpr uint64_t live_chunk_interval_ms = 250;
constexpr uint64_t live_mark_interval_ms = 100;

// Start-up, with the library lock not held: remembers where to listen. The
// listener itself opens on the first pump, outside the loader's lock.
void live_stream_configure(const LiveSetting& setting);

// pre: the library lock is held and live_attached. One chunk of the
// timeline: its 4-byte length and its records, `events` of them events.
void live_stream_chunk(const unsigned char (&length)[4], const unsigned char* records, size_t size,
                       uint32_t events);
// pre: the library lock is held. The clock was read: time to look for a
// viewer, or to send.
void live_stream_tick();

// Accepts, sends, reads; does nothing when the calling thread holds the
// library lock or another thread pumps.
void live_stream_pump();
inline void live_stream_after_call() {
    if (live_pump_wanted.load(std::memory_order_relaxed)) live_stream_pump();
}

// The final shutdown, after the timeline's last chunk, with the library lock
// not held: what the viewer has not taken goes out as far as it can without
// waiting, then every socket closes.
void live_stream_close();
// In a forked child: the sockets are the parent's.
void live_stream_forget_in_child();

}  // namespace tarvex
