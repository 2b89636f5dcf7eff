#include "common/queue.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

TEST(Queue, KeepsOrderAcrossTheWrapAndHoldsOneLessThanItsSlots) {
    Queue<int> q(256);
    for (int i = 0; i < 250; ++i) q.Post(i);
    int v = -1;
    for (int i = 0; i < 250; ++i) {
        ASSERT_TRUE(q.Pop(v));
        ASSERT_EQ(v, i);
    }
    // readIndex is now 250; eleven posts wrap writeIndex round to 5.
    for (int i = 0; i < 11; ++i) q.Post(1000 + i);
    EXPECT_EQ(q.GetSize(), 11);
    for (int i = 0; i < 11; ++i) {
        ASSERT_TRUE(q.Pop(v));
        EXPECT_EQ(v, 1000 + i);
    }
    for (int i = 0; i < 300; ++i) q.Post(i);
    EXPECT_EQ(q.GetSize(), 255);  // the 256th post and later ones were dropped
    ASSERT_TRUE(q.Pop(v));
    EXPECT_EQ(v, 0);
}

TEST(Queue, PopOnEmptyLeavesTheElementAlone) {
    Queue<std::string> q(30);
    std::string s = "unchanged";
    EXPECT_FALSE(q.Pop(s));
    EXPECT_EQ(s, "unchanged");
    q.Post("one");
    q.Reset();
    EXPECT_EQ(q.GetSize(), 0);
    EXPECT_FALSE(q.Pop(s));
    EXPECT_EQ(s, "unchanged");
    for (int i = 0; i < 40; ++i) q.Post(std::to_string(i));
    EXPECT_EQ(q.GetSize(), 29);
}

TEST(Queue, CopiesFramesByteForByte) {
    using Frame = std::array<unsigned char, 128>;
    Queue<Frame> q(192);
    Frame in{};
    for (int i = 0; i < 128; ++i) in[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 2);
    q.Post(in);
    in[0] = 99;  // the queue holds its own copy
    Frame out{};
    ASSERT_TRUE(q.Pop(out));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[127], 254);
    for (int i = 0; i < 500; ++i) q.Post(in);
    EXPECT_EQ(q.GetSize(), 191);
}
