#include "counters/counters.h"

#include <cstring>

#include "base/building_blocks.h"
#include "base/library_state.h"
#include "contexts/library_storage.h"
#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

namespace {

struct CounterNode {
    MemTypeDefs::Counter counter;
    CounterNode* next;
};

// Guarded by the library lock.
MoveToFrontList<CounterNode, &CounterNode::next> counter_list;

CounterNode* find_or_create(const char* name) {
    const uint32_t id = name_hash(name);
    if (CounterNode* found =
            counter_list.find([id](const CounterNode& node) { return node.counter.id == id; }))
        return found;
    auto* node = static_cast<CounterNode*>(library_alloc(sizeof(CounterNode)));
    if (node == nullptr) return nullptr;
    std::memset(node, 0, sizeof(*node));
    node->counter.id = id;
    node->counter.name = copy_name(name);
    counter_list.push_front(node);
    return node;
}

}  // namespace

uint32_t name_hash(const char* name) {
    uint32_t hash = 0;
    for (const char* p = name ? name : ""; *p != '\0'; ++p) {
        hash =
            hash * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    return hash;
}

uint32_t counting_inc_counter(const char* name, int32_t amount) {
    LockHolder hold(library_lock());
    CounterNode* node = find_or_create(name);
    if (node == nullptr) return 0;
    MemTypeDefs::Counter& counter = node->counter;
    counter.count += static_cast<uint32_t>(amount);
    if (counter.count > counter.peak) counter.peak = counter.count;
    return counter.count;
}

void for_each_counter_record(void (*visit)(const MemTypeDefs::Counter& counter, void* user),
                             void* user) {
    TARVEX_CHECK_LIBRARY_LOCK();
    counter_list.for_each([&](const CounterNode& node) { visit(node.counter, user); });
}

void release_counters() {
    TARVEX_CHECK_LIBRARY_LOCK();
    counter_list.remove_if([](const CounterNode&) { return true; },
                           [](CounterNode* node) {
                               release_name(node->counter.name);
                               library_free(node);
                           });
}

}  // namespace tarvex

uint32_t Tarvex::get_counter_info(MemTypeDefs::Counter* out, uint32_t capacity) {
    using namespace tarvex;
    if (out == nullptr) return 0;
    LockHolder hold(library_lock());
    uint32_t written = 0;
    for (CounterNode* node = counter_list.head(); node != nullptr && written < capacity;
         node = node->next) {
        out[written++] = node->counter;
    }
    return written;
}
