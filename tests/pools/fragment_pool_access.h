// A fragment pool with its protected members opened to the tests.
#pragma once

#include "tarvex/pools.h"

class TestFragmentPool : public FragmentPool {
public:
    using FragmentPool::align_mask;
    using FragmentPool::blk_count;
    using FragmentPool::fragment_size;
    using FragmentPool::FragmentPool;
    using FragmentPool::free_list;
    using FragmentPool::in_use;
    using FragmentPool::is_in_freelist;
    using FragmentPool::is_owner;
    using FragmentPool::mem_usage;
    using FragmentPool::next_of;
    using FragmentPool::node_list;
    using FragmentPool::start_of;
};
