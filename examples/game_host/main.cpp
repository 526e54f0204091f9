// The game: start-up, the front end unloaded with one reset of the level
// arena, a level load between a checkpoint and a state dump, a frame loop
// with a worker thread and scratch memory given back to a mark each frame, a
// level unload checked by a leak scope, and a normal exit, after which Tarvex
// writes MemLeaks_game_host.xml.
#include <cstdio>
#include <thread>

#include "game.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace game {
void release_entities();
}

namespace {

void print_to_stdout(const char* text, bool) {
    std::fputs(text, stdout);
}

__attribute__((noinline)) void worker_job() {
    // Short-lived jobs on the shared small-block context.
    void* jobs[16];
    for (auto& job : jobs) job = Tarvex::std_alloc(48, game::game_objects);
    for (auto& job : jobs) Tarvex::std_free(job, game::game_objects);
    Tarvex::inc_counter("worker jobs", 16);
}

void print_context_table() {
    Tarvex::ContextBase infos[32];
    const uint32_t count = Tarvex::get_context_info(infos, 32);
    std::printf("%-28s %-10s %-4s %10s %10s %9s\n", "context", "id", "type", "usage", "peak",
                "fragments");
    for (uint32_t i = 0; i < count; ++i) {
        const Tarvex::ContextBase& c = infos[i];
        std::printf("%-28s 0x%08x %-4u %10u %10u %9u\n", c.name, c.id, c.type, c.usage,
                    c.usage_peak, c.fragments);
    }
}

}  // namespace

int main() {
    Tarvex::the_config.log_func = print_to_stdout;
    game::create_contexts();
    game::parse_settings("resolution=1920x1080;vsync=on");

    // A labelled scratch buffer that lives for the session.
    MemBlk audio_mix(4096, game::game_objects);
    audio_mix.set_info("audio mix buffer");

    game::load_front_end();
    Tarvex::phase_mark("front end loaded");
    game::unload_level();
    Tarvex::phase_mark("front end unloaded");

    const uint32_t before_level = Tarvex::get_checkpoint();
    // Everything the level puts in the game objects context should be gone
    // once it is unloaded; the scope proves it, or lists what stayed.
    const uint32_t level_scope = Tarvex::scope_begin(game::game_objects);
    game::load_level(1);
    Tarvex::phase_mark("level 1 loaded");
    Tarvex::dump_state("level_load.xml", before_level);

    for (int frame = 0; frame < 30; ++frame) {
        std::thread worker(worker_job);
        // Scratch for this frame from the level arena, all of it given back
        // at the end of the frame.
        const uint32_t scratch_mark = Tarvex::context_mark(game::level_arena);
        void* scratch = Tarvex::std_alloc(1024, game::level_arena);
        Tarvex::mem_track_set_info(game::level_arena, scratch, "frame scratch");
        Tarvex::inc_counter("frames", 1);
        worker.join();
        Tarvex::context_release_to(game::level_arena, scratch_mark);
        Tarvex::frame_mark();
    }

    game::release_entities();
    Tarvex::phase_mark("level 1 unloaded");
    const uint32_t stayed = Tarvex::scope_end(game::game_objects, level_scope, "level_unload.xml");
    std::printf("level unload: %u block(s) of Game objects still live (see level_unload.xml)\n",
                stayed);
    print_context_table();
    // Leave the audio buffer and the leaks for the exit-time report.
    audio_mix.clear();
    return 0;
}
