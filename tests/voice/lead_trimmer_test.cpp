// The margin the play-out buffer keeps, and the frames it lets go of once a
// window of leads has shown they were never needed.
#include <gtest/gtest.h>

#include "playout_simulation.h"
#include "voice/lead_trimmer.h"

using playoutsim::At;

namespace {

// One frame every 16 ms from fromMs until before toMs, each with the same
// lead; the spread gives a start delay of startDelayMs. The time of the
// next frame.
double Leads(CLeadTrimmer& t, double fromMs, double toMs, double leadMs, int startDelayMs = 0) {
    double now = fromMs;
    for (; now < toMs; now += 16) EXPECT_FALSE(t.NoteLead(At(now), leadMs, startDelayMs, true)) << now;
    return now;
}

}  // namespace

TEST(LeadTrimmer, TheMarginIsTheSafetyAQuarterOfTheSpreadAndAFrameForEachRecentGapUpToThree) {
    CLeadTrimmer t;
    EXPECT_EQ(t.TargetLeadMs(0), 4);
    EXPECT_EQ(t.TargetLeadMs(40), 14);
    EXPECT_EQ(t.TargetLeadMs(96), 28);
    // A frame whose playback was due already, or just now, came after the
    // device ran dry; one with any time left did not.
    EXPECT_FALSE(t.NoteLead(At(0), 0.5, 0, true));
    EXPECT_EQ(t.GapPenalty(), 0);
    EXPECT_TRUE(t.NoteLead(At(16), 0, 0, true));
    EXPECT_EQ(t.TargetLeadMs(0), 20);
    EXPECT_TRUE(t.NoteLead(At(32), -40, 0, true));
    t.NoteGap(At(48));
    t.NoteGap(At(64));
    EXPECT_EQ(t.GapPenalty(), 3);
    EXPECT_EQ(t.TargetLeadMs(40), 14 + 48);
    t.Reset();
    EXPECT_EQ(t.TargetLeadMs(0), 4);

    // A buffer that cuts by the millisecond keeps its own margins: less
    // safety, and less than a whole frame for each gap.
    CLeadTrimmer fine(10, 1, {2, 5});
    EXPECT_EQ(fine.TargetLeadMs(0), 2);
    EXPECT_EQ(fine.TargetLeadMs(40), 12);
    for (int k = 0; k < 4; ++k) fine.NoteGap(At(k));
    EXPECT_EQ(fine.TargetLeadMs(0), 2 + 3 * 5);
}

// The margin a gap bought is given back a frame at a time, each after ten
// seconds without a gap, and only as windows close.
TEST(LeadTrimmer, AGapsFrameOfMarginIsGivenBackAfterTenSecondsWithoutOne) {
    CLeadTrimmer t;
    t.NoteGap(At(0));
    t.NoteGap(At(0));
    double now = Leads(t, 0, 9990, 60);
    EXPECT_EQ(t.GapPenalty(), 2);
    now = Leads(t, now, 11100, 60);
    EXPECT_EQ(t.GapPenalty(), 1);
    // The next one ten seconds after that, not at once.
    now = Leads(t, now, 19900, 60);
    EXPECT_EQ(t.GapPenalty(), 1);
    Leads(t, now, 22200, 60);
    EXPECT_EQ(t.GapPenalty(), 0);
}

TEST(LeadTrimmer, AWindowWithMoreThanTwoFramesToSpareDropsThemAtOnce) {
    CLeadTrimmer t;
    // A second of frames each 100 ms ahead: 96 ms beyond the 4 ms margin
    // are six frames of latency.
    double now = Leads(t, 0, 1000, 100);
    EXPECT_EQ(t.PendingDrops(), 0) << "the window is still open";
    EXPECT_FALSE(t.NoteLead(At(now), 100, 0, true));
    EXPECT_EQ(t.PendingDrops(), 6);
    EXPECT_EQ(t.TakeDrops(4), 4);
    EXPECT_EQ(t.TakeDrops(10), 2);
    EXPECT_EQ(t.TakeDrops(10), 0);

    // A burst cut as playing began again (after a stall ran the device
    // dry): the first window is a quarter of a second, and its surplus goes
    // at once.
    CLeadTrimmer stalled;
    stalled.StartPlaying();
    stalled.CutMade();
    now = Leads(stalled, 0, CLeadTrimmer::kFirstWindowAfterCutMs, 100);
    EXPECT_FALSE(stalled.NoteLead(At(now), 100, 0, true));
    EXPECT_EQ(stalled.PendingDrops(), 6);
    // A cut while playing went on (the device never ran dry): what was owed
    // is called off, the window's leads from before the cut (here smaller
    // than after it) give no verdict, and the next window is short. More
    // cuts while it is open (a burst cut frame by frame) do not restart it.
    CLeadTrimmer held;
    now = Leads(held, 0, 1000, 40);
    now = Leads(held, now, 2010, 40);
    EXPECT_FALSE(held.NoteLead(At(now), 40, 0, true));
    ASSERT_EQ(held.PendingDrops(), 2);
    now = Leads(held, now, now + 200, 20);
    ASSERT_EQ(held.PendingDrops(), 1) << "as far as the latest lead allows";
    held.CutMade();
    EXPECT_EQ(held.PendingDrops(), 0);
    const double cutAt = now;
    now = Leads(held, now, cutAt + 100, 100);
    held.CutMade();
    now = Leads(held, now, cutAt + CLeadTrimmer::kFirstWindowAfterCutMs, 100);
    EXPECT_FALSE(held.NoteLead(At(now), 100, 0, true));
    EXPECT_EQ(held.PendingDrops(), 6) << "the leads before the first cut did not count";
    EXPECT_EQ(held.TakeDrops(10), 6);
    // The window after the short one took those drops off its first lead;
    // the one after it is a second again.
    now = Leads(held, now, now + 1010, 100);
    EXPECT_EQ(held.PendingDrops(), 0);
    const double next = now - 16;
    now = Leads(held, now, next + 500, 100);
    EXPECT_EQ(held.PendingDrops(), 0) << "no short window without a cut";
    Leads(held, now, next + 1010, 100);
    EXPECT_EQ(held.PendingDrops(), 6);

    // Not before a window of lateness has been measured.
    CLeadTrimmer early;
    for (now = 0; now < 1100; now += 16) EXPECT_FALSE(early.NoteLead(At(now), 100, 0, false));
    EXPECT_EQ(early.PendingDrops(), 0);
}

// A frame or two to spare may be the luck of one window: it goes only when
// the next window has it too, and then only as much as both had.
TEST(LeadTrimmer, ASmallSurplusGoesOnlyWhenTwoWindowsInARowHadIt) {
    CLeadTrimmer t;
    // 40 ms ahead against a margin of 4: two frames to spare, in the first
    // window and in the second.
    double now = Leads(t, 0, 1000, 40);
    now = Leads(t, now, 2000, 40);
    EXPECT_EQ(t.PendingDrops(), 0);
    Leads(t, now, now + 20, 40);
    EXPECT_EQ(t.PendingDrops(), 2);
    EXPECT_EQ(t.TakeDrops(5), 2);

    // Two to spare after a window with one: one goes.
    CLeadTrimmer u;
    now = Leads(u, 0, 1000, 25);
    now = Leads(u, now, 2000, 40);
    Leads(u, now, now + 20, 40);
    EXPECT_EQ(u.PendingDrops(), 1);

    // A window with nothing to spare in between: nothing goes.
    CLeadTrimmer v;
    now = Leads(v, 0, 1000, 40);
    now = Leads(v, now, 2000, 10);
    now = Leads(v, now, 3000, 40);
    Leads(v, now, now + 20, 40);
    EXPECT_EQ(v.PendingDrops(), 0);
}

// The window that asked for drops may have had more to spare than the link
// has now: a frame with less lead takes back as many as it needs.
TEST(LeadTrimmer, DropsStillOwedAreOnlyMadeAsFarAsTheLatestLeadAllows) {
    CLeadTrimmer t;
    double now = Leads(t, 0, 1000, 100);
    EXPECT_FALSE(t.NoteLead(At(now), 100, 0, true));
    ASSERT_EQ(t.PendingDrops(), 6);
    // 50 ms ahead: three frames would leave 2 ms, less than the margin.
    EXPECT_FALSE(t.NoteLead(At(now + 16), 50, 0, true));
    EXPECT_EQ(t.PendingDrops(), 2);
    // A frame that came late takes them all back, and is a gap.
    EXPECT_TRUE(t.NoteLead(At(now + 32), -1, 0, true));
    EXPECT_EQ(t.PendingDrops(), 0);

    // Playing afresh (after a cut, or a new talk) owes nothing.
    CLeadTrimmer u;
    now = Leads(u, 0, 1000, 200);
    EXPECT_FALSE(u.NoteLead(At(now), 200, 0, true));
    ASSERT_GT(u.PendingDrops(), 0);
    u.StartPlaying();
    EXPECT_EQ(u.PendingDrops(), 0);
}
