#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

TEST(Mutex, TimedWaitFailsWhileAnotherThreadHoldsItAndOnlyTheHolderReleases) {
    platform::Mutex m;
    ASSERT_TRUE(m.Wait(1000));
    auto other = std::async(std::launch::async, [&] {
        bool got = m.Wait(50);
        bool released = m.Release();  // not the holder
        return std::make_pair(got, released);
    });
    auto [got, released] = other.get();
    EXPECT_FALSE(got);
    EXPECT_FALSE(released);
    EXPECT_TRUE(m.Release());
    EXPECT_FALSE(m.Release());
    EXPECT_TRUE(m.Wait(platform::kWaitForever));
    EXPECT_TRUE(m.Release());
}

TEST(Semaphore, ReleaseBeyondTheMaximumFailsAndWaitsTimeOut) {
    platform::Semaphore s(1, 2);
    EXPECT_TRUE(s.Release());
    EXPECT_FALSE(s.Release());
    EXPECT_EQ(s.Count(), 2);
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.Wait(20));
    s.Renew(0, 5);
    EXPECT_TRUE(s.Release(5));
    EXPECT_FALSE(s.Release(1));
}

namespace {
std::atomic<bool> mayEnd{false};
std::uint32_t WaitThenReturn(void* arg) {
    while (!mayEnd.load()) platform::SleepMs(1);
    return *static_cast<std::uint32_t*>(arg);
}
}  // namespace

TEST(Thread, ReportsStillActiveUntilItReturnsThenItsExitCode) {
    std::uint32_t code = 7;
    platform::Thread t = platform::Thread::Start(&WaitThenReturn, &code);
    ASSERT_TRUE(t.IsValid());
    EXPECT_TRUE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), platform::kStillActive);
    t.RaisePriority();  // best effort; must not fail the thread
    mayEnd = true;
    t.Join();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), 7u);
    t.Join();  // a second join is harmless
}

TEST(Mutex, WaitersBlockedOnAHeldMutexGetItInTurnAndExcludeEachOther) {
    platform::Mutex m;
    ASSERT_TRUE(m.Wait(0));
    int counter = 0;  // guarded by m only: the thread sanitizer checks the exclusion
    std::atomic<int> started{0};
    auto worker = [&](int wait) {
        ++started;
        int obtained = 0;
        for (int i = 0; i < 2000; ++i) {
            if (!m.Wait(wait)) continue;
            ++counter;
            ++obtained;
            if (!m.Release()) return -1;
        }
        return obtained;
    };
    auto timed = std::async(std::launch::async, worker, 10000);
    auto unbounded = std::async(std::launch::async, worker, platform::kWaitForever);
    while (started.load() < 2) platform::SleepMs(1);
    platform::SleepMs(20);  // both are likely asleep on the held mutex now
    ASSERT_TRUE(m.Release());
    EXPECT_EQ(timed.get(), 2000);
    EXPECT_EQ(unbounded.get(), 2000);
    ASSERT_TRUE(m.Wait(1000));
    EXPECT_EQ(counter, 4000);
    EXPECT_TRUE(m.Release());
}

TEST(Semaphore, SleepersAreWokenByEachReleaseAndByOneReleaseOfMany) {
    platform::Semaphore s(0, 8);
    constexpr int kSleepers = 4;
    std::vector<std::future<bool>> waits;
    for (int i = 0; i < kSleepers; ++i) {
        waits.push_back(std::async(std::launch::async, [&] { return s.Wait(20000); }));
    }
    platform::SleepMs(20);
    EXPECT_TRUE(s.Release(kSleepers));
    for (auto& w : waits) EXPECT_TRUE(w.get());
    EXPECT_EQ(s.Count(), 0);

    // Hand a single unit back and forth many times: a lost wake would leave
    // one side sleeping until its long timeout and fail the wait.
    platform::Semaphore ping(0, 1);
    platform::Semaphore pong(0, 1);
    auto other = std::async(std::launch::async, [&] {
        for (int i = 0; i < 20000; ++i) {
            if (!ping.Wait(20000) || !pong.Release()) return false;
        }
        return true;
    });
    bool ok = true;
    for (int i = 0; i < 20000 && ok; ++i) ok = ping.Release() && pong.Wait(20000);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(other.get());
    EXPECT_EQ(ping.Count(), 0);
    EXPECT_EQ(pong.Count(), 0);
}

TEST(MutexLock, HoldsTheMutexForItsScopeOnly) {
    platform::Mutex mutex;
    auto tryFromAnotherThread = [&mutex] {
        return std::async(std::launch::async, [&mutex] {
                   bool got = mutex.Wait(0);
                   if (got) mutex.Release();
                   return got;
               }).get();
    };
    {
        platform::MutexLock lock(mutex, "unused");
        EXPECT_FALSE(tryFromAnotherThread());
    }
    EXPECT_TRUE(tryFromAnotherThread());
    // A bounded wait that gets the mutex holds it too.
    {
        platform::MutexLock lock(mutex, "unused", 1000);
        EXPECT_FALSE(tryFromAnotherThread());
    }
    EXPECT_TRUE(tryFromAnotherThread());
}
