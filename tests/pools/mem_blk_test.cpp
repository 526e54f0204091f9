// The memory block: one piece from fast_alloc, given back with the size and
// context it was obtained with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

struct FastCall {
    std::string what;
    const void* block;
    uint32_t size;
    uint32_t id;
    bool operator==(const FastCall& other) const {
        return what == other.what && block == other.block && size == other.size && id == other.id;
    }
};

std::vector<FastCall>& calls() {
    static std::vector<FastCall> recorded;
    return recorded;
}

// A dispatch table whose sized family serves from the runtime heap and
// records every call, whatever the context id.
class FakeFastFamily {
public:
    FakeFastFamily() {
        calls().clear();
        Tarvex::my_func_table.fast_alloc = [](uint32_t size, uint32_t id) -> void* {
            void* block = std::malloc(size);
            calls().push_back({"alloc", block, size, id});
            return block;
        };
        Tarvex::my_func_table.fast_free = [](const void* block, uint32_t size, uint32_t id) {
            calls().push_back({"free", block, size, id});
            std::free(const_cast<void*>(block));
        };
        Tarvex::my_func_table.mem_track_set_info = [](uint32_t id, void* block, const char* info) {
            calls().push_back({std::string("info ") + info, block, 0, id});
        };
    }

private:
    DispatchSwap swap_;
};

// Size 0 obtains nothing; clear of an empty block keeps size and id.
TEST(MemBlk, SizeZeroHoldsNothing) {
    FakeFastFamily fake;
    MemBlk block(0, 5);
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(block.size(), 0u);
    block.clear();
    EXPECT_TRUE(calls().empty());
    // The id is still 5: set_info forwards it even without storage.
    block.set_info("empty");
    EXPECT_EQ(calls(), (std::vector<FastCall>{{"info empty", nullptr, 0, 5}}));

    MemBlk plain;
    EXPECT_EQ(plain.data(), nullptr);
    EXPECT_EQ(plain.size(), 0u);
}

// alloc gives the old storage back to the old context with the old size,
// then obtains the new storage from the new context; size 0 leaves it empty.
TEST(MemBlk, AllocReplacesTheStorage) {
    FakeFastFamily fake;
    MemBlk block(64, 42);
    void* first = block.data();
    ASSERT_NE(first, nullptr);
    block.alloc(32, 7);
    void* second = block.data();
    EXPECT_EQ(block.size(), 32u);
    block.alloc(0, 9);
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(block.size(), 0u);
    const std::vector<FastCall> expected = {
        {"alloc", first, 64, 42},
        {"free", first, 64, 42},
        {"alloc", second, 32, 7},
        {"free", second, 32, 7},
    };
    EXPECT_EQ(calls(), expected);
    calls().clear();
    block.set_info("after");
    EXPECT_EQ(calls(), (std::vector<FastCall>{{"info after", nullptr, 0, 9}}));
}

// Destruction and clear give the storage back; clear then resets the size.
TEST(MemBlk, ClearAndDestructionGiveBack) {
    FakeFastFamily fake;
    void* held;
    {
        MemBlk block(64, 42);
        held = block.data();
        calls().clear();
    }
    EXPECT_EQ(calls(), (std::vector<FastCall>{{"free", held, 64, 42}}));

    calls().clear();
    MemBlk block(16, 3);
    held = block.data();
    block.set_info("named");
    block.clear();
    EXPECT_EQ(block.size(), 0u);
    EXPECT_EQ(block.data(), nullptr);
    const std::vector<FastCall> expected = {
        {"alloc", held, 16, 3}, {"info named", held, 0, 3}, {"free", held, 16, 3}};
    EXPECT_EQ(calls(), expected);
}

// A block that cannot be obtained leaves the MemBlk empty with its size.
TEST(MemBlk, NoStorage) {
    LogCapture log;
    MemBlk block(100, 0x7fff0002);  // no context has this id
    EXPECT_EQ(block.data(), nullptr);
    EXPECT_EQ(block.size(), 100u);
    block.clear();
    EXPECT_EQ(block.size(), 100u);
}

// swap exchanges all three fields; swap with itself changes nothing.
TEST(MemBlk, Swap) {
    FakeFastFamily fake;
    MemBlk a(24, 1);
    MemBlk b(48, 2);
    void* a_data = a.data();
    void* b_data = b.data();
    a.swap(b);
    EXPECT_EQ(a.data(), b_data);
    EXPECT_EQ(a.size(), 48u);
    EXPECT_EQ(b.data(), a_data);
    EXPECT_EQ(b.size(), 24u);
    a.swap(a);
    EXPECT_EQ(a.data(), b_data);
    EXPECT_EQ(a.size(), 48u);
    calls().clear();
    a.clear();
    b.clear();
    const std::vector<FastCall> expected = {{"free", b_data, 48, 2}, {"free", a_data, 24, 1}};
    EXPECT_EQ(calls(), expected);
}

}  // namespace
