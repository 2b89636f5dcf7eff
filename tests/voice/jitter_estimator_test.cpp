// How late frames arrive against their 16 ms pace, and the wait before a
// talk starts playing that follows from it.
#include <gtest/gtest.h>

#include "playout_simulation.h"
#include "voice/jitter_estimator.h"

using playoutsim::At;

namespace {

// Frames first..last-1 arriving exactly on a 16 ms pace from startMs on.
void Steady(CJitterEstimator& e, double startMs, int first, int last) {
    for (int k = first; k < last; ++k) e.NoteArrival(At(startMs + 16.0 * (k - first)));
}

}  // namespace

TEST(JitterEstimator, WaitsTheDefaultUntilAWholeWindowIsMeasuredThenFollowsTheSpread) {
    CJitterEstimator e;
    EXPECT_EQ(e.StartDelayMs(), CJitterEstimator::kDefaultStartMs);
    // A steady link: no spread at all, but one frame short of a window says
    // too little.
    Steady(e, 1000, 0, CJitterEstimator::kWindowFrames - 1);
    EXPECT_FALSE(e.HasWindow());
    EXPECT_EQ(e.StartDelayMs(), CJitterEstimator::kDefaultStartMs);
    e.NoteArrival(At(1000 + 16.0 * (CJitterEstimator::kWindowFrames - 1)));
    EXPECT_TRUE(e.HasWindow());
    EXPECT_EQ(e.StartDelayMs(), 0);

    e.Reset();
    EXPECT_FALSE(e.HasWindow());
    EXPECT_EQ(e.StartDelayMs(), CJitterEstimator::kDefaultStartMs);
}

// A frame held back takes the frames queued behind it along: they come in
// a burst, and the first of them is the latest. It counts for a second of
// frames, rounded up to the next millisecond, then is forgotten.
TEST(JitterEstimator, AHeldFrameSetsTheWaitForAWindowOfFramesAndNoLonger) {
    CJitterEstimator e;
    Steady(e, 0, 0, 100);
    ASSERT_EQ(e.StartDelayMs(), 0);
    // Frame 100 comes 40.3 ms late, 101 and 102 with it.
    const double due = 16.0 * 100;
    for (int k = 100; k <= 102; ++k) e.NoteArrival(At(due + 40.3));
    EXPECT_EQ(e.StartDelayMs(), 41);
    // Back on the pace: the late frame is remembered for a window.
    int k = 103;
    for (; k < 100 + CJitterEstimator::kWindowFrames; ++k) {
        e.NoteArrival(At(16.0 * k));
        ASSERT_EQ(e.StartDelayMs(), 41) << k;
    }
    e.NoteArrival(At(16.0 * k));
    EXPECT_EQ(e.StartDelayMs(), 25) << "frame 101 was 24.3 ms behind";
    e.NoteArrival(At(16.0 * ++k));
    EXPECT_EQ(e.StartDelayMs(), 9);
    e.NoteArrival(At(16.0 * ++k));
    EXPECT_EQ(e.StartDelayMs(), 0);

    // However late, the wait has its bound.
    e.NoteArrival(At(16.0 * ++k + 300));
    EXPECT_EQ(e.StartDelayMs(), CJitterEstimator::kMaxStartMs);
}

// Lateness is measured against the earliest frame of the window, not the
// one before: a link that slowly falls behind builds up a spread.
TEST(JitterEstimator, ALinkFallingBehindBuildsUpItsLatenessAgainstTheEarliestFrame) {
    CJitterEstimator e;
    for (int k = 0; k < 62; ++k) e.NoteArrival(At(16.5 * k));
    // Each frame half a millisecond behind the one before: the last one of
    // the window is 30.5 ms behind the first.
    EXPECT_EQ(e.StartDelayMs(), 31);
}

// A pause of more than a second between two talks starts the pace afresh:
// the next talk is not late by the length of the pause, nor measured
// against frames of the talk before.
TEST(JitterEstimator, APauseStartsThePaceAfreshAndKeepsWhatWasMeasured) {
    CJitterEstimator e;
    // The first frame of the talk a little late, all the others early
    // against it.
    e.NoteArrival(At(30));
    for (int k = 1; k < 80; ++k) e.NoteArrival(At(16.0 * k));
    ASSERT_EQ(e.StartDelayMs(), 0);
    const double next = 16.0 * 79 + 1500.5;
    for (int k = 0; k < 30; ++k) {
        e.NoteArrival(At(next + 16.0 * k));
        ASSERT_EQ(e.StartDelayMs(), 0) << k;
    }
    EXPECT_TRUE(e.HasWindow());

    // A second is no pause: frames that come after it are late.
    CJitterEstimator brief;
    Steady(brief, 0, 0, 80);
    brief.NoteArrival(At(16.0 * 79 + 1000));
    EXPECT_EQ(brief.StartDelayMs(), CJitterEstimator::kMaxStartMs);
}
