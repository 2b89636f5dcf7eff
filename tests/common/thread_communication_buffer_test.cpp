#include "common/thread_communication_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

TEST(ThreadCommunicationBuffer, ServerBufferHolds255AndNonWaitingSendRefusesTheNext) {
    CThreadCommunicationBuffer<int> b(256);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(b.Send(i, 0), 1);
    EXPECT_EQ(b.Send(255, 0), 0);
    EXPECT_EQ(b.GetSize(), 255);
    int v = -1;
    ASSERT_EQ(b.Receive(v, 0), 1);
    EXPECT_EQ(v, 0);
}

TEST(ThreadCommunicationBuffer, WaitingSendOnAFullBufferIsReleasedByAReceive) {
    CThreadCommunicationBuffer<std::string> b(30);
    for (int i = 0; i < 29; ++i) ASSERT_EQ(b.Send(std::to_string(i), 1), 1);
    std::atomic<bool> sent{false};
    auto producer = std::async(std::launch::async, [&] {
        int r = b.Send("late", 1);
        sent = true;
        return r;
    });
    // The producer stays blocked while the buffer is full.
    EXPECT_EQ(producer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_FALSE(sent);
    std::string s;
    ASSERT_EQ(b.Receive(s, 0), 1);
    EXPECT_EQ(s, "0");
    ASSERT_EQ(producer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(producer.get(), 1);
    for (int i = 1; i < 29; ++i) {
        ASSERT_EQ(b.Receive(s, 0), 1);
        EXPECT_EQ(s, std::to_string(i));
    }
    ASSERT_EQ(b.Receive(s, 0), 1);
    EXPECT_EQ(s, "late");
}

TEST(ThreadCommunicationBuffer, NonWaitingReceiveOnEmptyReturnsAtOnceUnchanged) {
    CThreadCommunicationBuffer<std::string> b(30);
    std::string s = "kept";
    EXPECT_EQ(b.Receive(s, 0), 0);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(b.ReceiveWithin(s, 10), 0);
    EXPECT_EQ(s, "kept");
}

TEST(ThreadCommunicationBuffer, WaitingReceiveIsReleasedByASend) {
    CThreadCommunicationBuffer<int> b(256);
    auto consumer = std::async(std::launch::async, [&] {
        int v = 0;
        b.Receive(v, 1);
        return v;
    });
    EXPECT_EQ(consumer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    b.Send(42, 0);
    ASSERT_EQ(consumer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 42);
}

TEST(ThreadCommunicationBuffer, ResetEmptiesAndRenewsTheCounts) {
    CThreadCommunicationBuffer<std::string> b(30);
    for (int i = 0; i < 20; ++i) b.Send("x", 0);
    b.Reset();
    EXPECT_EQ(b.GetSize(), 0);
    std::string s;
    EXPECT_EQ(b.Receive(s, 0), 0);
    for (int i = 0; i < 29; ++i) ASSERT_EQ(b.Send(std::to_string(i), 0), 1);
    EXPECT_EQ(b.Send("over", 0), 0);
    ASSERT_EQ(b.Receive(s, 0), 1);
    EXPECT_EQ(s, "0");
}

TEST(ThreadCommunicationBuffer, ManyProducersOneConsumerLoseNothingAndKeepEachOrder) {
    CThreadCommunicationBuffer<std::pair<int, int>> b(256);
    constexpr int kProducers = 4;
    constexpr int kEach = 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&b, p] {
            for (int i = 0; i < kEach; ++i) b.Send({p, i}, 1);
        });
    }
    std::vector<int> next(kProducers, 0);
    std::pair<int, int> item;
    for (int n = 0; n < kProducers * kEach; ++n) {
        ASSERT_EQ(b.Receive(item, 1), 1);
        ASSERT_EQ(item.second, next[static_cast<size_t>(item.first)]++);
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(b.GetSize(), 0);
}

TEST(ThreadCommunicationBuffer, ReceivedElementIsTheCallersOwnCopy) {
    std::string s;
    {
        auto b = std::make_unique<CThreadCommunicationBuffer<std::string>>(30);
        b->Send(std::string(200, 'r'), 0);
        b->Receive(s, 0);
    }
    EXPECT_EQ(s, std::string(200, 'r'));
}

TEST(ThreadCommunicationBuffer, ReceiveAllTakesWhatIsThereInOrderUpToTheLimitAndFreesTheSlots) {
    CThreadCommunicationBuffer<std::string> b(30);
    std::vector<std::string> got;
    EXPECT_EQ(b.ReceiveAll(got, 8, 0), 0);  // empty: no wait, nothing taken
    for (int i = 0; i < 29; ++i) ASSERT_EQ(b.Send(std::to_string(i), 0), 1);
    ASSERT_EQ(b.Send("full", 0), 0);
    ASSERT_EQ(b.ReceiveAll(got, 8, 1), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i));
    // Exactly the eight taken slots are free again.
    for (int i = 29; i < 37; ++i) ASSERT_EQ(b.Send(std::to_string(i), 0), 1);
    EXPECT_EQ(b.Send("full", 0), 0);
    ASSERT_EQ(b.ReceiveAll(got, 100, 0), 29);
    for (int i = 0; i < 29; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i + 8));
    EXPECT_EQ(b.GetSize(), 0);
    std::string one = "unchanged";
    EXPECT_EQ(b.Receive(one, 0), 0);
    EXPECT_EQ(one, "unchanged");
}

TEST(ThreadCommunicationBuffer, WaitingReceiveAllAgainstManyProducersLosesNothingAndKeepsEachOrder) {
    CThreadCommunicationBuffer<std::pair<int, int>> b(30);
    constexpr int kProducers = 3;
    constexpr int kEach = 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&b, p] {
            for (int i = 0; i < kEach; ++i) {
                // Mixes waiting and non-waiting sends; a refused one is retried.
                if (i % 2 == 0) {
                    b.Send({p, i}, 1);
                } else {
                    while (b.Send({p, i}, 0) == 0) std::this_thread::yield();
                }
            }
        });
    }
    std::vector<int> next(kProducers, 0);
    std::vector<std::pair<int, int>> got;
    int total = 0;
    while (total < kProducers * kEach) {
        int n = b.ReceiveAll(got, 7, 1);
        ASSERT_GE(n, 1);
        ASSERT_LE(n, 7);
        for (int k = 0; k < n; ++k) {
            auto [p, i] = got[static_cast<size_t>(k)];
            ASSERT_EQ(i, next[static_cast<size_t>(p)]++);
        }
        total += n;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(b.GetSize(), 0);
}

TEST(ThreadCommunicationBuffer, FreeSlotsFollowsSendsReceivesAndReset) {
    CThreadCommunicationBuffer<int> b(30);
    EXPECT_EQ(b.FreeSlots(), 29);
    for (int i = 0; i < 29; ++i) ASSERT_EQ(b.Send(i, 0), 1);
    EXPECT_EQ(b.FreeSlots(), 0);
    int v = 0;
    ASSERT_EQ(b.Receive(v, 0), 1);
    EXPECT_EQ(b.FreeSlots(), 1);
    std::vector<int> got;
    ASSERT_EQ(b.ReceiveAll(got, 5, 0), 5);
    EXPECT_EQ(b.FreeSlots(), 6);
    // The count is the truth: as many non-waiting sends succeed, not one more.
    for (int i = 0; i < 6; ++i) ASSERT_EQ(b.Send(100 + i, 0), 1);
    EXPECT_EQ(b.Send(200, 0), 0);
    EXPECT_EQ(b.FreeSlots(), 0);
    b.Reset();
    EXPECT_EQ(b.FreeSlots(), 29);
}

TEST(ThreadCommunicationBuffer, SendManyStoresInOrderAndShowsWhatItStoredBeforeWaitingForRoom) {
    CThreadCommunicationBuffer<std::string> b(30);
    std::vector<std::string> batch;
    for (int i = 0; i < 40; ++i) batch.push_back(std::to_string(i));
    // Room for 29: the rest waits until the receiver makes room, which it
    // can only do because the first ones are visible by then.
    auto producer = std::async(std::launch::async, [&] { return b.SendManyWithin(batch, 0, 40, 10000); });
    std::string s;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(b.ReceiveWithin(s, 10000), 1) << i;
        EXPECT_EQ(s, std::to_string(i));
    }
    EXPECT_EQ(producer.get(), 40);
    // Without room in time it stores what fits and says how many.
    EXPECT_EQ(b.SendManyWithin(batch, 5, 35, 0), 29);
    ASSERT_EQ(b.Receive(s, 0), 1);
    EXPECT_EQ(s, "5");
    EXPECT_EQ(b.SendManyWithin(batch, 0, 0, 0), 0);
}
