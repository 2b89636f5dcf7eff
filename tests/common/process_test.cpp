#include "platform/tools/process.h"

#include <gtest/gtest.h>

namespace {

const std::string kHelper = CHILD_HELPER;

TEST(ChildProcess, TalksThroughPipesAndReportsItsExitCode) {
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start(kHelper, {"answer"}));
    EXPECT_TRUE(child.IsRunning());
    EXPECT_GT(platform::ProcessThreadCount(child.Pid()), 0);
    // Standard input, output and error at least, where the system counts them.
    int descriptors = platform::ProcessOpenDescriptors(child.Pid());
    if (descriptors != -1) {
        EXPECT_GT(descriptors, 2);
    }
    ASSERT_TRUE(child.WriteInput("hello\n"));
    std::string out;
    EXPECT_TRUE(child.WaitForOutput("got hello", 10000, &out));
    int code = -1;
    ASSERT_TRUE(child.Wait(10000, &code));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(out, "got hello\n");
    std::string err;
    child.ReadError(&err, 1000);
    EXPECT_EQ(err, "oops\n");
}

TEST(ChildProcess, KillEndsAChildThatWouldRunOn) {
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start(kHelper, {"linger"}));
    // Ended once it runs: under Wine, a process ended while it is still
    // being set up can leave whoever waits for it waiting for good.
    ASSERT_TRUE(child.WaitForOutput("lingering", 10000));
    int code = -1;
    EXPECT_FALSE(child.Wait(50, &code));
    child.Kill();
    ASSERT_TRUE(child.Wait(10000, &code));
    EXPECT_EQ(code, 128 + 9);
}

// A crash must never pass for success (under an emulator, a debugger that
// takes over a crashing program can end it with exit code 0).
TEST(ChildProcess, ACrashIsAFailingExit) {
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start(kHelper, {"crash"}));
    int code = 0;
    ASSERT_TRUE(child.Wait(20000, &code));
    EXPECT_NE(code, 0);
}

TEST(ChildProcess, ExtraEnvironmentReplacesAnInheritedVariable) {
    platform::ChildProcess child;
    // PATH is always inherited; the child must see the replacement only.
    ASSERT_TRUE(child.Start(kHelper, {"env", "PATH"}, {"PATH=/replaced"}));
    std::string out;
    EXPECT_TRUE(child.WaitForOutput("]", 10000, &out));
    EXPECT_EQ(out, "[/replaced]\n");
    int code = -1;
    EXPECT_TRUE(child.Wait(10000, &code));
}

}  // namespace
