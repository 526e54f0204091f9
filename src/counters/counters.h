// Named counters: found by the hash of their name, kept in a list that moves
// each counter it finds to the front. They exist only in tracking mode.
#pragma once

#include <stdint.h>

#include "tarvex/tarvex.h"

namespace tarvex {

// h = h * 33 + byte over the name's bytes as signed 8-bit values; null
// hashes as "".
uint32_t name_hash(const char* name);

// The inc_counter slot in tracking mode: finds or creates the counter, adds
// the amount and returns the new count. Takes the library lock: games count
// from several threads, and the move-to-front relink must not race.
uint32_t counting_inc_counter(const char* name, int32_t amount);

// pre: the library lock is held. Visits every counter in list order.
template <typename Visit>
void for_each_counter(Visit&& visit);
void for_each_counter_record(void (*visit)(const MemTypeDefs::Counter& counter, void* user),
                             void* user);

template <typename Visit>
void for_each_counter(Visit&& visit) {
    for_each_counter_record([](const MemTypeDefs::Counter& counter,
                               void* user) { (*static_cast<Visit*>(user))(counter); },
                            &visit);
}

// pre: the library lock is held. Gives every counter back (final shutdown).
void release_counters();

}  // namespace tarvex
