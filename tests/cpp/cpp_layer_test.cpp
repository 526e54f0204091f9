// The C++ layer as a game uses it, in a process that tracks every block:
// the standard containers, through tarvex::allocator and through std::pmr
// on tarvex::memory_resource, keep their blocks in the context they name and
// give them all back; over-aligned elements get aligned storage; class new
// and delete in all their forms go to the class's context. Each runs on a
// context of every type, which on 32-bit targets promise 8, 4 and 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "reports/expected_text.h"
#include "support/file_check.h"
#include "tarvex/tarvex.hpp"

namespace {

constexpr int element_count = 100;

bool aligned(const void* p, uintptr_t alignment) {
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

struct alignas(32) Lanes {
    float values[8];
};

const tarvex::context& context_of_type(uint16_t type) {
    static const tarvex::context contexts[] = {
        tarvex::context("C++ heap", 0x7c00, TARVEX_STD_MALLOC),
        tarvex::context("C++ small blocks", 0x7c01, TARVEX_SMALL_BLK_LIST),
        tarvex::context("C++ arena", 0x7c02, TARVEX_GROW_ONLY),
    };
    return contexts[type];
}

const uint16_t context_types[] = {TARVEX_STD_MALLOC, TARVEX_SMALL_BLK_LIST, TARVEX_GROW_ONLY};

std::vector<std::string>& logged() {
    static std::vector<std::string> lines;
    return lines;
}

void TARVEX_CDECL remember(const char* text, int) {
    logged().push_back(text);
}

// While what `make` builds lives, the context's figures count its blocks and
// a scope's report lists as many under the context; once it is gone the
// figures are back where they were.
template <typename Make>
void expect_blocks_in(const tarvex::context& context, const char* what, Make make) {
    SCOPED_TRACE(what);
    const tarvex_context_desc before = context.info();
    std::remove("scope.xml");
    {
        tarvex::scope scope(context.id(), "scope.xml");
        const auto container = make();
        const tarvex_context_desc during = context.info();
        const uint32_t blocks = during.fragments - before.fragments;
        EXPECT_GT(blocks, 0u);
        EXPECT_GE(during.usage - before.usage, element_count * sizeof(int));
        EXPECT_EQ(scope.end(), blocks);
        EXPECT_NE(read_file("scope.xml")
                      .find(formatted("<Context Name=\"%s\" Id=\"0x%x\" Fragments=\"%u\"",
                                      during.name, context.id(), blocks)),
                  std::string::npos);
        EXPECT_EQ(scope.end(), blocks);  // ended once
    }
    const tarvex_context_desc after = context.info();
    EXPECT_EQ(after.fragments, before.fragments);
    EXPECT_EQ(after.usage, before.usage);
}

template <typename T>
using Alloc = tarvex::allocator<T>;
template <typename K, typename V>
using Map = std::map<K, V, std::less<K>, Alloc<std::pair<const K, V>>>;
template <typename K, typename V>
using HashMap =
    std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, Alloc<std::pair<const K, V>>>;
using String = std::basic_string<char, std::char_traits<char>, Alloc<char>>;

template <typename Sequence>
Sequence filled(Sequence sequence) {
    for (int i = 0; i < element_count; ++i) sequence.push_back(i);
    return sequence;
}

template <typename Mapping>
Mapping filled_map(Mapping mapping) {
    for (int i = 0; i < element_count; ++i) mapping.emplace(i, i);
    return mapping;
}

TEST(CppLayer, ContainersKeepTheirBlocksInTheNamedContext) {
    for (uint16_t type : context_types) {
        const tarvex::context& context = context_of_type(type);
        const uint32_t id = context.id();
        expect_blocks_in(context, "vector",
                         [id] { return filled(std::vector<int, Alloc<int>>(Alloc<int>(id))); });
        expect_blocks_in(context, "deque",
                         [id] { return filled(std::deque<int, Alloc<int>>(Alloc<int>(id))); });
        expect_blocks_in(context, "list",
                         [id] { return filled(std::list<int, Alloc<int>>(Alloc<int>(id))); });
        expect_blocks_in(context, "map",
                         [id] { return filled_map(Map<int, int>(Alloc<int>(id))); });
        expect_blocks_in(context, "unordered_map",
                         [id] { return filled_map(HashMap<int, int>(Alloc<int>(id))); });
        expect_blocks_in(context, "basic_string", [id] {
            return String(element_count * sizeof(int), 'x', Alloc<char>(id));
        });

        tarvex::memory_resource resource(id);
        expect_blocks_in(context, "pmr vector",
                         [&] { return filled(std::pmr::vector<int>(&resource)); });
        expect_blocks_in(context, "pmr deque",
                         [&] { return filled(std::pmr::deque<int>(&resource)); });
        expect_blocks_in(context, "pmr list",
                         [&] { return filled(std::pmr::list<int>(&resource)); });
        expect_blocks_in(context, "pmr map",
                         [&] { return filled_map(std::pmr::map<int, int>(&resource)); });
        expect_blocks_in(context, "pmr unordered_map",
                         [&] { return filled_map(std::pmr::unordered_map<int, int>(&resource)); });
        expect_blocks_in(context, "pmr string", [&] {
            return std::pmr::string(element_count * sizeof(int), 'x', &resource);
        });
    }
}

TEST(CppLayer, OverAlignedElementsGetAlignedStorage) {
    for (uint16_t type : context_types) {
        const tarvex::context& context = context_of_type(type);
        SCOPED_TRACE(context.info().name);
        const tarvex_context_desc before = context.info();
        {
            std::vector<Lanes, Alloc<Lanes>> vector{Alloc<Lanes>(context.id())};
            Map<int, Lanes> map{Alloc<Lanes>(context.id())};
            tarvex::memory_resource resource(context.id());
            std::pmr::list<Lanes> list(&resource);
            for (int i = 0; i < 20; ++i) {
                vector.emplace_back();
                EXPECT_TRUE(aligned(vector.data(), 32));
                EXPECT_TRUE(aligned(&map[i], 32));
                EXPECT_TRUE(aligned(&list.emplace_back(), 32));
            }
            // The resource's own blocks: each alignment, with sizes below it.
            for (std::size_t alignment = 1; alignment <= 128; alignment *= 2) {
                for (std::size_t bytes :
                     {std::size_t(0), std::size_t(1), alignment, 3 * alignment}) {
                    void* block = resource.allocate(bytes, alignment);
                    EXPECT_TRUE(aligned(block, alignment)) << bytes << " bytes at " << alignment;
                    resource.deallocate(block, bytes, alignment);
                }
            }
        }
        EXPECT_EQ(context.info().fragments, before.fragments);
    }
}

TEST(CppLayer, AllocatorsCarryTheirContext) {
    using Traits = std::allocator_traits<Alloc<int>>;
    static_assert(Traits::propagate_on_container_copy_assignment::value, "");
    static_assert(Traits::propagate_on_container_move_assignment::value, "");
    static_assert(Traits::propagate_on_container_swap::value, "");
    static_assert(!Traits::is_always_equal::value, "");
    static_assert(std::is_same<Traits::rebind_alloc<double>, Alloc<double>>::value, "");

    const uint32_t heap = context_of_type(TARVEX_STD_MALLOC).id();
    const uint32_t small = context_of_type(TARVEX_SMALL_BLK_LIST).id();
    const Alloc<int> a(heap);
    const Alloc<double> rebound(a);
    EXPECT_EQ(rebound.context_id(), heap);
    EXPECT_EQ(rebound.context_handle(), tarvex_context_find(heap));
    EXPECT_TRUE(rebound == a);
    EXPECT_TRUE(Alloc<int>(heap) == a);
    EXPECT_TRUE(Alloc<int>(small) != a);
    tarvex::memory_resource heap_resource(heap), heap_again(heap), small_resource(small);
    EXPECT_TRUE(heap_resource == heap_again);
    EXPECT_FALSE(heap_resource == small_resource);

    // Assignment takes the context along with the elements.
    std::vector<int, Alloc<int>> from(element_count, 1, a);
    std::vector<int, Alloc<int>> to{Alloc<int>(small)};
    to = from;
    EXPECT_EQ(to.get_allocator().context_id(), heap);
}

// The value that map's operator[] makes is a container made from nothing:
// its allocator carries the context in its type.
TEST(CppLayer, BoundContainersNestInOthers) {
    constexpr uint32_t id = 0x7c01;
    using Bound = tarvex::bound_allocator<int, id>;
    using Traits = std::allocator_traits<Bound>;
    static_assert(Traits::is_always_equal::value, "");
    static_assert(
        std::is_same<Traits::rebind_alloc<double>, tarvex::bound_allocator<double, id>>::value, "");
    static_assert(Traits::rebind_alloc<double>::context_id() == id, "");

    expect_blocks_in(context_of_type(TARVEX_SMALL_BLK_LIST), "map of bound vectors", [] {
        std::map<int, tarvex::bound_vector<int, id>> lists;
        for (int i = 0; i < element_count; ++i) lists[i % 10].push_back(i);
        return lists;
    });
}

// Bound allocators of one id share one state whenever they were made: one
// made before its context existed frees the blocks of one made after, and
// the other way round. The context's blocks are aligned to 4 on 32-bit
// targets, where an int takes its own functions and an allocator that read
// no alignment would have taken the aligned ones.
TEST(CppLayer, BoundAllocatorsOfOneIdAreOne) {
    constexpr uint32_t id = 0x7c30;
    tarvex_set_log_func(remember);
    logged().clear();
    tarvex::bound_allocator<int, id> before;
    tarvex::bound_vector<int, id> made_before;
    EXPECT_THROW(before.allocate(1), std::bad_alloc);
    ASSERT_EQ(logged().size(), 1u);
    EXPECT_EQ(logged()[0], "Tarvex: ERROR: Context not set\n");

    const tarvex::context context("C++ bound", id, TARVEX_SMALL_BLK_LIST);
    tarvex::bound_allocator<int, id> after;
    EXPECT_TRUE(before == after);
    const uint32_t live = context.info().fragments;
    int* early = before.allocate(10);
    int* late = after.allocate(3);
    after.deallocate(early, 10);
    before.deallocate(late, 3);
    tarvex::bound_allocator<Lanes, id> wide_before(before), wide_after(after);
    Lanes* lanes = wide_before.allocate(2);
    EXPECT_TRUE(aligned(lanes, 32));
    wide_after.deallocate(lanes, 2);

    tarvex::bound_vector<int, id> made_after(element_count, 1);
    made_before.swap(made_after);
    made_before.resize(4 * element_count);  // frees the block made_after made
    EXPECT_EQ(context.info().fragments, live + 1);
    made_before = tarvex::bound_vector<int, id>();
    EXPECT_EQ(context.info().fragments, live);
    EXPECT_EQ(logged().size(), 1u);
    tarvex_set_log_func(nullptr);
}

TEST(CppLayer, MisusesFailAsTheStandardSays) {
    tarvex_set_log_func(remember);
    logged().clear();
    // Made before its context exists: it promises nothing, and allocating
    // fails after the library reported the missing context.
    Alloc<int> early(0x7cff);
    EXPECT_EQ(early.context_alignment(), 0u);
    EXPECT_THROW(early.allocate(1), std::bad_alloc);
    tarvex::memory_resource early_resource(0x7cff);
    EXPECT_THROW((void)early_resource.allocate(8, 8), std::bad_alloc);
    ASSERT_FALSE(logged().empty());
    EXPECT_EQ(logged()[0], "Tarvex: ERROR: Context not set\n");

    const Alloc<int> heap(context_of_type(TARVEX_STD_MALLOC).id());
    EXPECT_EQ(heap.max_size(), UINT32_MAX / sizeof(int));
    EXPECT_THROW(Alloc<int>(heap).allocate(heap.max_size() + 1), std::bad_array_new_length);
    tarvex_set_log_func(nullptr);
}

TEST(CppLayer, ContextsAndScopes) {
    tarvex_context_desc desc;
    tarvex_context_desc_init(&desc, "C++ level", 0x7c20, TARVEX_GROW_ONLY);
    desc.flags = 0;
    desc.size_hint = 64 * 1024;
    const tarvex::context level(desc);
    tarvex::context again("Another name", 0x7c20, TARVEX_STD_MALLOC);  // finds the first
    tarvex_context_desc info = again.info();
    EXPECT_STREQ(info.name, "C++ level");
    EXPECT_EQ(info.type, TARVEX_GROW_ONLY);
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.size_hint, 64u * 1024);

    again.set_trace_depth(5);
    again.set_budget(0, 100);
    EXPECT_EQ(again.alloc(101), nullptr);
    void* block = again.alloc(40);
    ASSERT_NE(block, nullptr);
    info = level.info();
    EXPECT_EQ(info.trace_depth, 5u);
    EXPECT_EQ(info.usage, 40u);
    again.free(block);
    EXPECT_EQ(level.info().usage, 0u);
    again.set_budget(0, 0);

    // A scope that is not ended ends when it goes, reporting its block; the
    // next one counts only what it saw made.
    void* kept = nullptr;
    {
        tarvex::scope scope(level.id(), "unended.xml");
        kept = again.alloc(8);
    }
    EXPECT_NE(read_file("unended.xml").find("Fragments=\"1\""), std::string::npos);
    tarvex::scope later(level.id());
    EXPECT_EQ(later.end(), 0u);
    again.free(kept);
    EXPECT_STREQ(tarvex::context("Nothing", 0x7c21, TARVEX_STD_MALLOC).info().name, "Nothing");
    EXPECT_EQ(tarvex::context(desc).info().id, 0x7c20u);

    // A scratch mark gives back what was made under it, and only that; one
    // on a context that is no arena holds nothing.
    again.alloc(16);
    void* scratch = nullptr;
    {
        tarvex::arena_mark mark(level.id());
        EXPECT_TRUE(mark.valid());
        scratch = again.alloc(500);
        EXPECT_EQ(level.info().fragments, 2u);
    }
    EXPECT_EQ(level.info().fragments, 1u);
    EXPECT_EQ(again.alloc(500), scratch);
    EXPECT_FALSE(tarvex::arena_mark(0x7c21).valid());

    // The same through the handle, and a reset that gives back everything.
    const uint32_t mark = again.mark();
    EXPECT_NE(mark, 0u);
    again.alloc(64);
    EXPECT_EQ(level.info().fragments, 3u);
    again.release_to(mark);
    EXPECT_EQ(level.info().fragments, 2u);
    again.reset();
    EXPECT_EQ(level.info().fragments, 0u);
    EXPECT_EQ(level.info().usage, 0u);
    EXPECT_EQ(tarvex::context("Nothing", 0x7c21, TARVEX_STD_MALLOC).mark(), 0u);
}

// ---------------------------------------------------------------------------
// Class new and delete
// ---------------------------------------------------------------------------

constexpr uint32_t objects_id = 0x7c10;

struct Enemy {
    TARVEX_CLASS_ALLOCATOR(objects_id)
    int health[5];
};

struct alignas(64) Transform {
    TARVEX_CLASS_ALLOCATOR(objects_id);
    float matrix[16];
};

struct Fragile {
    TARVEX_CLASS_ALLOCATOR(objects_id);
    Fragile() { throw 7; }
    int value;
};

TEST(CppLayer, ClassNewAndDeleteUseTheClassContext) {
    // Small blocks: packed on 32-bit targets, so new needs the aligned
    // functions there.
    tarvex::context objects("C++ objects", objects_id, TARVEX_SMALL_BLK_LIST);
    const auto live = [&objects] { return objects.info().fragments; };
    const uint32_t before = live();

    Enemy* enemy = new Enemy;
    Enemy* enemies = new Enemy[3];
    Enemy* quiet = new (std::nothrow) Enemy;
    Transform* transform = new Transform;
    Transform* transforms = new Transform[2];
    Transform* quiet_transforms = new (std::nothrow) Transform[2];
    void* raw = Enemy::operator new[](2 * sizeof(Enemy));
    EXPECT_EQ(live(), before + 7);
    for (const void* p : {static_cast<const void*>(enemy), static_cast<const void*>(enemies),
                          static_cast<const void*>(quiet), static_cast<const void*>(raw)}) {
        EXPECT_TRUE(aligned(p, TARVEX_NEW_ALIGNMENT));
    }
    for (const Transform* p : {transform, transforms, transforms + 1, quiet_transforms}) {
        EXPECT_TRUE(aligned(p, 64));
    }

    alignas(Enemy) unsigned char storage[sizeof(Enemy)];
    Enemy* placed = new (storage) Enemy;
    EXPECT_EQ(static_cast<void*>(placed), storage);
    EXPECT_THROW(new Fragile, int);
    EXPECT_THROW(new (std::nothrow) Fragile, int);
    EXPECT_EQ(live(), before + 7);

    delete enemy;
    delete[] enemies;
    Enemy::operator delete(quiet, sizeof(Enemy));
    Transform::operator delete(transform, sizeof(Transform), std::align_val_t(alignof(Transform)));
    delete[] transforms;
    Transform::operator delete[](quiet_transforms, std::align_val_t(alignof(Transform)),
                                 std::nothrow);
    Enemy::operator delete[](raw, 2 * sizeof(Enemy));
    EXPECT_EQ(live(), before);

    // Refused by the context's budget: the throwing forms throw, the
    // nothrow forms return null.
    tarvex_set_log_func(nullptr);
    objects.set_budget(0, 1);
    EXPECT_THROW(new Enemy, std::bad_alloc);
    EXPECT_THROW(new Transform[2], std::bad_alloc);
    EXPECT_EQ(new (std::nothrow) Enemy[2], nullptr);
    EXPECT_EQ(new (std::nothrow) Transform, nullptr);
    objects.set_budget(0, 0);
    EXPECT_EQ(live(), before);
}

}  // namespace
