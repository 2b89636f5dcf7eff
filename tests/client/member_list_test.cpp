#include "client/member_list.h"

#include <gtest/gtest.h>

TEST(MemberList, InsertRemoveReplaceKeepNamesBesideTheirIds) {
    MemberList list;
    EXPECT_FALSE(list.Insert(3, "C"));  // an empty list waits for the full list
    EXPECT_EQ(list.Count(), 0);
    list.Replace({4, 2}, {"D", "B"});
    EXPECT_TRUE(list.Insert(3, "C"));   // before 4, the first greater ID
    EXPECT_TRUE(list.Insert(9, "I"));   // no greater ID: last
    EXPECT_TRUE(list.Insert(2, "B2"));  // before 3, the first greater ID: first
    EXPECT_EQ(list.Ids(), (std::vector<int>{2, 3, 4, 2, 9}));
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"B2", "C", "D", "B", "I"}));
    EXPECT_TRUE(list.Remove(2));
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"C", "D", "B", "I"}));
    EXPECT_FALSE(list.Remove(7));
    EXPECT_EQ(list.Count(), 4);
    // Replace with arrays of different length takes the common part.
    list.Replace({1, 2, 3}, {"A"});
    EXPECT_EQ(list.Ids(), (std::vector<int>{1}));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.Names().empty());
}
