#include "platform/process.h"

#include <gtest/gtest.h>

TEST(ChildProcess, TalksThroughPipesAndReportsItsExitCode) {
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "read x; echo got $x; echo oops >&2; exit 3"}));
    EXPECT_TRUE(child.IsRunning());
    EXPECT_GT(platform::ProcessThreadCount(child.Pid()), 0);
    EXPECT_GT(platform::ProcessOpenDescriptors(child.Pid()), 2);
    ASSERT_TRUE(child.WriteInput("hello\n"));
    std::string out;
    EXPECT_TRUE(child.WaitForOutput("got hello", 10000, &out));
    int code = -1;
    ASSERT_TRUE(child.Wait(10000, &code));
    EXPECT_EQ(code, 3);
    std::string err;
    child.ReadError(&err, 1000);
    EXPECT_EQ(err, "oops\n");
}

TEST(ChildProcess, SignalsEndAChildThatWouldRunOn) {
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sleep", {"100"}));
    int code = -1;
    EXPECT_FALSE(child.Wait(50, &code));
    child.Terminate();
    ASSERT_TRUE(child.Wait(10000, &code));
    EXPECT_EQ(code, 128 + 15);
}

TEST(ChildProcess, ExtraEnvironmentReplacesAnInheritedVariable) {
    platform::ChildProcess child;
    // PATH is always inherited; the child must see the replacement only.
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "echo \"[$PATH]\""}, {"PATH=/replaced"}));
    std::string out;
    EXPECT_TRUE(child.WaitForOutput("]", 10000, &out));
    EXPECT_EQ(out, "[/replaced]\n");
    int code = -1;
    EXPECT_TRUE(child.Wait(10000, &code));
}
