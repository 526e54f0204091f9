// The re-entrant system lock: recursion and its holder, mutual exclusion
// while threads hand it over under contention, and a parked waiter that is
// woken. A lost wake-up hangs a thread, so every test runs under a deadline
// that fails the program instead.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using tarvex::platform::SystemLock;
using namespace std::chrono_literals;

constexpr auto deadline = 60s;
// The sanitizers and Wine's server slow every contended hand-over down.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr int rounds_per_thread = 5000;
#else
constexpr int rounds_per_thread = 50000;
#endif

// Ends the program when the scope outlives the deadline.
class Watchdog {
public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        done_signal_.notify_one();
        thread_.join();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> hold(mutex_);
        if (!done_signal_.wait_for(hold, deadline, [this] { return done_; })) {
            std::fprintf(stderr, "a thread still waits for the lock after the deadline\n");
            std::_Exit(1);
        }
    }

    std::mutex mutex_;
    std::condition_variable done_signal_;
    bool done_ = false;
    std::thread thread_;
};

class Lock {
public:
    explicit Lock(uint32_t spin_count) { tarvex::platform::lock_create(&lock_, spin_count); }
    ~Lock() { tarvex::platform::lock_destroy(&lock_); }
    void enter() { tarvex::platform::lock_enter(&lock_); }
    void leave() { tarvex::platform::lock_leave(&lock_); }
    bool try_enter() { return tarvex::platform::lock_try_enter(&lock_); }
    bool held_here() const { return tarvex::platform::lock_held_by_current_thread(&lock_); }

private:
    SystemLock lock_;
};

void wait_until(const std::atomic<bool>& flag) {
    while (!flag.load()) std::this_thread::yield();
}

// The holder re-enters; another thread neither counts as holder nor gets in
// before the last leave, and its attempt without a wait fails.
TEST(SystemLock, IsReentrantAndOnlyItsHolderHoldsIt) {
    Watchdog watchdog;
    Lock lock(2000);
    EXPECT_FALSE(lock.held_here());
    for (int i = 0; i < 2; ++i) lock.enter();
    EXPECT_TRUE(lock.try_enter());
    EXPECT_TRUE(lock.held_here());

    std::atomic<bool> other_saw_held{true}, other_started{false}, other_inside{false};
    std::atomic<bool> other_tried_in{true};
    std::thread other([&] {
        other_saw_held = lock.held_here();
        other_tried_in = lock.try_enter();
        other_started = true;
        lock.enter();
        other_inside = true;
        EXPECT_TRUE(lock.held_here());
        lock.leave();
    });
    wait_until(other_started);
    lock.leave();
    lock.leave();
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(other_inside.load());
    EXPECT_TRUE(lock.held_here());
    lock.leave();
    EXPECT_FALSE(lock.held_here());
    other.join();
    EXPECT_FALSE(other_saw_held.load());
    EXPECT_FALSE(other_tried_in.load());
    EXPECT_TRUE(other_inside.load());
    EXPECT_FALSE(lock.held_here());
    // Free, it is entered at once.
    EXPECT_TRUE(lock.try_enter());
    EXPECT_TRUE(lock.held_here());
    lock.leave();
}

class SystemLockContended : public ::testing::TestWithParam<uint32_t> {};

// Threads take the lock twice over and count under it; one thread found
// inside with another, or a count short, is a broken hand-over. Without a
// spin count every contended enter parks.
TEST_P(SystemLockContended, HandsOverBetweenThreadsOneAtATime) {
    constexpr int thread_count = 4;
    Watchdog watchdog;
    Lock lock(GetParam());
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    long count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < rounds_per_thread; ++i) {
                lock.enter();
                lock.enter();
                if (inside.exchange(true, std::memory_order_relaxed)) ++overlaps;
                ++count;
                inside.store(false, std::memory_order_relaxed);
                lock.leave();
                lock.leave();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(count, long{thread_count} * rounds_per_thread);
}

// A thread that has spun out and parked behind the holder gets the lock
// once the holder leaves, round after round.
TEST_P(SystemLockContended, WakesAParkedWaiter) {
    Watchdog watchdog;
    Lock lock(GetParam());
    for (int round = 0; round < 10; ++round) {
        lock.enter();
        std::atomic<bool> waiting{false}, got_in{false};
        std::thread waiter([&] {
            waiting = true;
            lock.enter();
            got_in = true;
            lock.leave();
        });
        wait_until(waiting);
        std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(got_in.load());
        lock.leave();
        waiter.join();
        EXPECT_TRUE(got_in.load());
    }
}

INSTANTIATE_TEST_SUITE_P(SpinCounts, SystemLockContended, ::testing::Values(0u, 2000u));

}  // namespace
