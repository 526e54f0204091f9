// A small game-shaped host: start-up, a level load, a frame loop with a
// worker thread, and shutdown, all routing memory through Tarvex.
#pragma once

#include <cstdint>

namespace game {

// Context ids the game chose for itself.
constexpr uint32_t level_arena = 0x1000;
constexpr uint32_t game_objects = 0x2000;

void create_contexts();
// The front end's data, in the level arena until the first level.
void load_front_end();
void load_level(int level);
// Gives the whole level arena back at once, and says what it held.
void unload_level();
void run_frames(int frames);
// A third-party parser that only knows malloc-shaped functions.
void parse_settings(const char* text);

}  // namespace game
