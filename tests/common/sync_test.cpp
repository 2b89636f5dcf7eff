#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

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
