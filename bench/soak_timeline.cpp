// Writes the timeline of a soak test that bench/report_tool reads: an hour
// of play (soak_mix.h: 3,600 s at 60 frames a second, 50,000 allocations a
// second, 180,000,000 allocations) in the library's format 2
// (docs/timeline-format.md), as fast as the disk takes it; Python would take
// half an hour. Addresses come from a free list per context, so they
// interleave as a game's do; 1,602 stacks of 8 frames in one module.
//
// usage: bench_soak_timeline OUTPUT [SECONDS] [ALLOCATIONS_PER_SECOND]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "soak_mix.h"

namespace {

// ---------------------------------------------------------------------------
// The records
// ---------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::FILE* file) : file_(file) {
        const unsigned char header[16] = {'T', 'A', 'R', 'V', 'E', 'X', 'T', 'L', 2, 0, 8};
        std::fwrite(header, 1, sizeof(header), file_);
    }
    ~Writer() { flush(); }

    void varint(uint64_t value) {
        while (value >= 0x80) {
            chunk_.push_back(static_cast<unsigned char>(value | 0x80));
            value >>= 7;
        }
        chunk_.push_back(static_cast<unsigned char>(value));
    }
    void signed_varint(int64_t value) {
        varint((static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63));
    }
    void text(const std::string& value) {
        varint(value.size());
        chunk_.insert(chunk_.end(), value.begin(), value.end());
    }
    void tag(uint8_t value) {
        if (chunk_.size() >= (64u << 10) - 64) flush();
        chunk_.push_back(value);
    }

    void allocation(uint32_t context, uint32_t size, uint64_t address, uint32_t id,
                    uint32_t stack) {
        tag(4);
        varint(context);
        varint(size);
        signed_varint(static_cast<int64_t>(address - last_address_));
        signed_varint(static_cast<int32_t>(id - last_id_ - 1));
        varint(stack);
        last_address_ = address;
        last_id_ = id;
    }
    void release(uint32_t id) {
        tag(5);
        signed_varint(static_cast<int32_t>(last_id_ - id));
    }
    uint32_t last_id() const { return last_id_; }

private:
    void flush() {
        const uint32_t size = static_cast<uint32_t>(chunk_.size());
        const unsigned char length[4] = {
            static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
            static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
        std::fwrite(length, 1, 4, file_);
        std::fwrite(chunk_.data(), 1, chunk_.size(), file_);
        chunk_.clear();
    }

    std::FILE* file_;
    std::vector<unsigned char> chunk_;
    uint64_t last_address_ = 0;
    uint32_t last_id_ = UINT32_MAX;
};

// ---------------------------------------------------------------------------
// The game's events as records
// ---------------------------------------------------------------------------

constexpr uint64_t module_base = 0x400000;

class FileSink {
public:
    struct Block {
        uint32_t id;
        uint64_t address;
    };
    using Mark = uint32_t;

    explicit FileSink(Writer& w) : w_(w) {
        for (uint32_t c = 1; c <= 4; ++c) contexts_[c].base = uint64_t{c} << 40;
    }

    Block allocate(uint32_t c, uint32_t size, uint32_t stack) {
        const Block block{next_id_++, take(c)};
        w_.allocation(c, size, block.address, block.id, stack);
        if (c == soak::level || c == soak::scratch) contexts_[c].live.push_back(block);
        return block;
    }
    void release(uint32_t c, const Block& block) {
        w_.release(block.id);
        contexts_[c].free.push_back(block.address);
    }
    Mark mark(uint32_t) const { return next_id_; }
    void release_to(uint32_t c, Mark mark) {
        w_.tag(7);
        w_.varint(c);
        w_.signed_varint(static_cast<int32_t>(w_.last_id() - mark));
        give_back(c, mark);
    }
    void reset(uint32_t c) {
        w_.tag(6);
        w_.varint(c);
        give_back(c, 0);
    }
    void frame(uint64_t ms) {
        w_.tag(8);
        w_.varint(ms);
    }
    void phase(const std::string& name, uint64_t ms) {
        w_.tag(9);
        w_.text(name);
        w_.varint(ms);
    }

private:
    struct Addresses {
        uint64_t base = 0;
        uint64_t next = 0;
        std::vector<uint64_t> free;  // given back, taken again first
        std::vector<Block> live;     // of the arenas, oldest first
    };

    uint64_t take(uint32_t c) {
        Addresses& a = contexts_[c];
        if (a.free.empty()) return a.base + 64 * a.next++;
        const uint64_t address = a.free.back();
        a.free.pop_back();
        return address;
    }
    void give_back(uint32_t c, uint32_t from) {
        Addresses& a = contexts_[c];
        while (!a.live.empty() && a.live.back().id >= from) {
            a.free.push_back(a.live.back().address);
            a.live.pop_back();
        }
    }

    Writer& w_;
    Addresses contexts_[5];
    uint32_t next_id_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT [SECONDS] [ALLOCATIONS_PER_SECOND]\n", argv[0]);
        return 2;
    }
    const uint32_t seconds = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 3600;
    const uint32_t per_second = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 50000;
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    uint64_t allocations = 0;
    {
        Writer w(file);
        w.tag(2);
        w.varint(module_base);
        w.varint(16u << 20);
        w.text("/opt/soak-game/game");
        const uint32_t ids[] = {0, 0x0, 0x1000, 0x2000, 0x3000};
        const uint64_t soft[] = {0, 0, 48u << 20, 8u << 20, 1u << 20};
        for (uint32_t c = 1; c <= 4; ++c) {
            w.tag(1);
            w.varint(c);
            w.varint(ids[c]);
            w.varint(soft[c]);
            w.varint(0);
            w.text(soak::context_names[c]);
        }
        soak::Random addresses;
        for (uint32_t s = 1; s <= soak::stack_count; ++s) {
            w.tag(3);
            w.varint(s);
            w.varint(8);
            for (int f = 0; f < 8; ++f) w.varint(module_base + 16 + addresses.below(16u << 20));
        }
        FileSink sink(w);
        soak::Game<FileSink> game(sink, per_second);
        for (uint32_t frame = 0; frame < seconds * soak::frames_per_second; ++frame)
            game.play_frame(frame);
        allocations = game.allocations();
    }
    std::fclose(file);
    std::printf("%s: %llu allocations over %u s, %u frames\n", argv[1],
                static_cast<unsigned long long>(allocations), seconds,
                seconds * soak::frames_per_second);
    return 0;
}
