// The layer's strings as keys of unordered containers, in a game built as
// C++20, where a transparent hasher and comparison let a lookup by
// std::string_view, a literal or a std::string find the key without making
// a string of the key's type: in a process that tracks every block, a
// lookup that made one would take an allocation id.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "tarvex/tarvex.hpp"

namespace {

constexpr uint32_t names_id = 0x7c40;
using Name = tarvex::bound_string<names_id>;
using Text = std::basic_string<char, std::char_traits<char>, tarvex::allocator<char>>;

// Longer than any string keeps inside itself.
constexpr const char* long_key = "level_03/props/barrel_explosive_large";

TEST(StringKeys, LookupByViewOrLiteralMakesNoString) {
    const tarvex::context names("C++ names", names_id, TARVEX_SMALL_BLK_LIST);
    std::unordered_map<Name, int, tarvex::string_hash, tarvex::string_equal> ids;
    ids.emplace(long_key, 3);
    ids.emplace("short", 4);
    EXPECT_GT(names.info().fragments, 0u);

    const uint32_t next_id = tarvex_get_checkpoint();
    const std::string_view view(long_key);
    ASSERT_NE(ids.find(view), ids.end());
    EXPECT_EQ(ids.find(view)->second, 3);
    EXPECT_EQ(ids.find(long_key)->second, 3);
    EXPECT_EQ(ids.find("short")->second, 4);
    EXPECT_TRUE(ids.contains(std::string(long_key)));
    EXPECT_FALSE(ids.contains("level_03/props/barrel_explosive_small"));
    EXPECT_EQ(tarvex_get_checkpoint(), next_id);
}

TEST(StringKeys, StdHashOfTheLayersStringsIsTheTextsHash) {
    const std::size_t text_hash = std::hash<std::string_view>()(long_key);
    EXPECT_EQ(std::hash<Name>()(Name(long_key)), text_hash);
    EXPECT_EQ(std::hash<Text>()(Text(long_key, tarvex::allocator<char>(names_id))), text_hash);
    EXPECT_EQ(tarvex::string_hash()(std::string(long_key)), text_hash);

    // Keys as they stand, with the containers' default hasher.
    std::unordered_set<Name> set{Name(long_key)};
    EXPECT_EQ(set.count(Name(long_key)), 1u);
    std::unordered_map<Text, int, std::hash<Text>, std::equal_to<Text>,
                       tarvex::allocator<std::pair<const Text, int>>>
        map(4, std::hash<Text>(), std::equal_to<Text>(),
            tarvex::allocator<std::pair<const Text, int>>(names_id));
    map.emplace(Text(long_key, map.get_allocator()), 1);
    EXPECT_EQ(map.at(Text(long_key, map.get_allocator())), 1);
}

}  // namespace
