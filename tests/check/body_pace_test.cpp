#include "check/body_pace.h"

#include <gtest/gtest.h>

TEST(BodyPaceTest, TrickleIsGivenUpAfterOneWindowSteadyFlowIsNot) {
  // One byte a second against 1 KiB per 30 s: the read that crosses the window fails.
  BodyPace trickle(30000, 1024, 0);
  std::uint32_t now = 0;
  for (; now < 30000; now += 1000) EXPECT_TRUE(trickle.Add(now, 1)) << now;
  EXPECT_FALSE(trickle.Add(now, 1));

  // Enough bytes in each window: every window starts afresh and never fails.
  BodyPace steady(30000, 1024, 0);
  for (now = 0; now < 300000; now += 1000) ASSERT_TRUE(steady.Add(now, 40)) << now;
}

TEST(BodyPaceTest, BytesOfAnEarlierWindowDoNotCarryOver) {
  BodyPace pace(1000, 100, 0);
  EXPECT_TRUE(pace.Add(10, 5000));  // a burst at the start
  EXPECT_TRUE(pace.Add(1000, 0));   // the first window had plenty
  EXPECT_TRUE(pace.Add(1500, 50));
  EXPECT_FALSE(pace.Add(2000, 49));  // the second brought 99
}

TEST(BodyPaceTest, TicksThatWrapAroundKeepTheWindow) {
  const std::uint32_t start = 0xFFFFFF00u;
  BodyPace pace(1000, 100, start);
  EXPECT_TRUE(pace.Add(start + 500, 1));  // wrapped past zero, 500 ms in
  EXPECT_FALSE(pace.Add(start + 1000, 1));
}

TEST(ReadAheadTest, FastBodiesGrowTheReadsSlowOnesFallBackForGood) {
  ReadAhead ahead(1u << 20);
  EXPECT_EQ(ahead.Next(0), 1u);          // nothing arrived: the read waits for a byte
  EXPECT_EQ(ahead.Next(8192), 8192u);    // at first only what has arrived
  ahead.Took(8192, 0);                   // 8 KiB in under a millisecond
  EXPECT_EQ(ahead.Next(8192), 819200u);  // what 100 ms bring at that rate
  EXPECT_EQ(ahead.Next(100), 100u);       // but not while little has arrived
  ahead.Took(819200, 10);
  EXPECT_EQ(ahead.Next(8192), 1u << 20);  // never past the limit
  ahead.Took(1u << 20, 500);              // slower, still under kSlowMs
  EXPECT_EQ(ahead.Next(8192), 209715u);
  ahead.Took(209715, 1001);  // the body slowed down
  EXPECT_EQ(ahead.Next(8192), 8192u);
  ahead.Took(8192, 0);  // and stays at what has arrived, however fast it gets again
  EXPECT_EQ(ahead.Next(8192), 8192u);
  EXPECT_EQ(ReadAhead(40960).Next(1u << 20), 40960u);
}
