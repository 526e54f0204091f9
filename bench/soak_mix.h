// The game of the soak benchmarks, an hour of play in a few lines: four
// contexts; blocks given back in the frame that made them, frame scratch
// released to a mark at each frame's end, game objects that live up to 100
// frames, a level arena that fills over its ten minutes and is reset when
// the next level loads (a saw-tooth), and two caches that keep a block now
// and then and never give one back: one of about 8 KB a minute, one of about
// 2 KB a minute (the creep). bench_soak_timeline writes it as a timeline
// directly; bench_soak_host plays it through the library.
//
// A Sink takes the game's events: allocate(context, size, stack) returning a
// Block, release(context, block), mark(context) returning a mark and
// release_to(context, mark), reset(context), frame(ms), phase(name, ms).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

constexpr uint32_t frames_per_second = 60;
constexpr uint32_t level_seconds = 600;
constexpr uint32_t stacks_per_context = 400;
constexpr uint32_t fast_creep_every = 28;  // frames: 64 bytes each, about 8 KB a minute
constexpr uint32_t slow_creep_every = 56;  // frames: 32 bytes each, about 2 KB a minute
// Stacks 1 to 1,600: 400 for each context; then the two caches'.
constexpr uint32_t stack_count = 4 * stacks_per_context + 2;

enum Context : uint32_t { heap = 1, level = 2, objects = 3, scratch = 4 };
constexpr const char* context_names[] = {"", "Global Context", "Level arena", "Game objects",
                                         "Frame scratch"};

// xorshift64*: the same hour on every run.
struct Random {
    uint64_t state = 0x9e3779b97f4a7c15ull;
    uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545f4914f6cdd1dull;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 33) % n); }
};

template <typename Sink>
class Game {
public:
    using Block = typename Sink::Block;

    Game(Sink& sink, uint32_t allocations_per_second)
        : sink_(sink), per_frame_(allocations_per_second / frames_per_second), dying_(101) {}

    uint64_t allocations() const { return allocations_; }

    // Gives back what the game holds but its caches and its level, as a
    // game does at its end (the level goes with a reset).
    void finish() {
        for (std::vector<Block>& dying : dying_) {
            for (const Block& b : dying) sink_.release(objects, b);
            dying.clear();
        }
        sink_.reset(level);
    }

    void play_frame(uint32_t frame) {
        const uint64_t ms = uint64_t{frame} * 1000 / frames_per_second;
        if (frame % (level_seconds * frames_per_second) == 0) {
            if (frame != 0) sink_.reset(level);
            sink_.phase("level " + std::to_string(frame / (level_seconds * frames_per_second) + 1) +
                            " loaded",
                        ms);
        }
        std::vector<Block>& dying = dying_[frame % dying_.size()];
        for (const Block& b : dying) sink_.release(objects, b);
        dying.clear();
        bool marked = false;
        typename Sink::Mark mark{};
        static const uint32_t sizes[] = {16, 24, 32, 48, 64, 128, 256, 1024};
        for (uint32_t i = 0; i < per_frame_; ++i) {
            const uint32_t kind = rng_.below(100);
            const uint32_t size = sizes[rng_.below(8)];
            if (kind < 45) {
                frame_blocks_.push_back(allocate(heap, size));
            } else if (kind < 60) {
                if (!marked) mark = sink_.mark(scratch), marked = true;
                allocate(scratch, size);
            } else if (kind < 90) {
                dying_[(frame + 1 + rng_.below(100)) % dying_.size()].push_back(
                    allocate(objects, size));
            } else {
                allocate(level, size);
            }
        }
        if (frame % fast_creep_every == 0) allocate(heap, 64, stack_count - 1);
        if (frame % slow_creep_every == 0) allocate(objects, 32, stack_count);
        for (const Block& b : frame_blocks_) sink_.release(heap, b);
        frame_blocks_.clear();
        if (marked) sink_.release_to(scratch, mark);
        sink_.frame(uint64_t{frame + 1} * 1000 / frames_per_second);
    }

private:
    Block allocate(Context c, uint32_t size, uint32_t stack = 0) {
        ++allocations_;
        if (stack == 0) stack = (c - 1) * stacks_per_context + 1 + rng_.below(stacks_per_context);
        return sink_.allocate(c, size, stack);
    }

    Sink& sink_;
    uint32_t per_frame_;
    Random rng_;
    uint64_t allocations_ = 0;
    std::vector<std::vector<Block>> dying_;  // objects, by the frame they die in
    std::vector<Block> frame_blocks_;
};

}  // namespace soak
