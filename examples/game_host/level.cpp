// Level data in a grow-only arena that each unload resets, game objects in a
// small-block context, names in a string pool, and a few deliberate leaks.
#include <cstdio>
#include <cstring>

#include "game.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace game {

namespace {

struct Entity {
    float position[3];
    const char* name;
    Entity* next;
};

StaticStringPool* entity_names = nullptr;
Entity* entities = nullptr;

}  // namespace

void create_contexts() {
    Tarvex::ContextBase arena("Level arena", level_arena, Tarvex::GrowOnly);
    arena.size_hint = 256 * 1024;  // four 64 KiB blocks for a typical level
    Tarvex::context_init(arena);

    // Shared with the worker thread: multi_threaded, and with a cache of
    // free fragments for each thread, so that most calls take no lock.
    Tarvex::ContextBase objects("Game objects", game_objects, Tarvex::SmallBlkList);
    objects.flags = Tarvex::multi_threaded | Tarvex::thread_cache;
    Tarvex::context_init(objects);
    entity_names = new StaticStringPool();  // blocks from "String data"
}

__attribute__((noinline)) void load_level_geometry(int level) {
    const uint32_t vertex_bytes = 4096 * (1 + level);
    void* vertices = Tarvex::std_alloc(vertex_bytes, level_arena);
    std::memset(vertices, 0, vertex_bytes);
    Tarvex::mem_track_set_info(level_arena, vertices, "level geometry");
}

__attribute__((noinline)) void spawn_entities(int count) {
    char name[32];
    for (int i = 0; i < count; ++i) {
        auto* entity = static_cast<Entity*>(Tarvex::std_alloc(sizeof(Entity), game_objects));
        std::snprintf(name, sizeof(name), "entity_%d", i);
        entity->name = entity_names->str_add(name);
        entity->next = entities;
        entities = entity;
        Tarvex::inc_counter("entities spawned", 1);
    }
}

__attribute__((noinline)) void leak_texture_cache() {
    // A cache entry nobody evicts: the leak report lists it with this info.
    void* texture = Tarvex::std_alloc(96, game_objects);
    Tarvex::mem_track_set_info(game_objects, texture, "texture cache entry never evicted");
}

void load_front_end() {
    load_level_geometry(0);
}

void unload_level() {
    const auto arena_figures = [] {
        Tarvex::ContextBase infos[32];
        const uint32_t count = Tarvex::get_context_info(infos, 32);
        for (uint32_t i = 0; i < count; ++i) {
            if (infos[i].id == level_arena) return infos[i];
        }
        return Tarvex::ContextBase();
    };
    const Tarvex::ContextBase before = arena_figures();
    Tarvex::context_reset(level_arena);
    const Tarvex::ContextBase after = arena_figures();
    std::printf("level unload: Level arena %u bytes in %u block(s) before the reset, %u in %u after\n",
                before.usage, before.fragments, after.usage, after.fragments);
}

void load_level(int level) {
    load_level_geometry(level);
    spawn_entities(20);
    leak_texture_cache();
}

void release_entities() {
    while (Entity* entity = entities) {
        entities = entity->next;
        Tarvex::std_free(entity, game_objects);
    }
    delete entity_names;
    entity_names = nullptr;
}

}  // namespace game
