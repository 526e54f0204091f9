// fork() while other threads hold the library's locks: the child still
// allocates and releases in every context, the parent goes on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tarvex/tarvex.h"

namespace {

// A child that does not exit within this time is taken as hung.
constexpr auto child_deadline = std::chrono::seconds(10);

bool child_exits_cleanly(pid_t child) {
    const auto give_up = std::chrono::steady_clock::now() + child_deadline;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// Two threads alternate between two shared contexts, so that each call
// misses the last-used cache and takes the library lock as well as the
// contexts' own: every fork lands while some lock is held.
TEST(Fork, ChildrenAllocateInEveryContextWhileThreadsHoldLocks) {
    const uint32_t ids[] = {0x7c01, 0x7c02};
    for (uint32_t id : ids)
        Tarvex::context_init(Tarvex::ContextBase("forked", id, Tarvex::SmallBlkList));
    std::atomic<bool> stop{false};
    std::vector<std::thread> hammers;
    for (int t = 0; t < 2; ++t) {
        hammers.emplace_back([&, t] {
            while (!stop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 64; ++i) {
                    const uint32_t id = ids[(i + t) % 2];
                    Tarvex::std_free(Tarvex::std_alloc(8 + i, id), id);
                }
            }
        });
    }
    int hung_or_failed = 0;
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (uint32_t id :
                 {ids[0], ids[1], tarvex_ids::global_context, tarvex_ids::string_data}) {
                void* block = Tarvex::std_alloc(24, id);
                if (block == nullptr) _exit(2);
                Tarvex::std_free(block, id);
                Tarvex::fast_free(Tarvex::fast_alloc(40, id), 40, id);
            }
            Tarvex::run_gc();
            _exit(0);
        }
        hung_or_failed += child_exits_cleanly(child) ? 0 : 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& thread : hammers) thread.join();
    EXPECT_EQ(hung_or_failed, 0);
}
