#include "encode/VrPtsGuard.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"

// 25 fps: slots of 40 ms.
TEST(VrPtsGuard, ATakenSlotMovesToTheNextWithinAFrameOtherwiseThePictureIsDroppedOncePerEpisode) {
  LogCapture log;
  VrPtsGuard guard("test video", 25);
  int64_t slot = -1;
  // A tick 39 ms late keeps its own slot...
  EXPECT_EQ(guard.Admit(39, &slot), VrPtsGuard::Verdict::kAsIs);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(guard.Admit(39, &slot), VrPtsGuard::Verdict::kMoved);  // ...its catch-up, same ms, the next
  EXPECT_EQ(slot, 1);
  EXPECT_EQ(guard.Admit(41, &slot), VrPtsGuard::Verdict::kMoved);  // slot 2 begins 39 ms later
  EXPECT_EQ(slot, 2);
  EXPECT_EQ(guard.Admit(40, &slot), VrPtsGuard::Verdict::kDropped);  // slot 3 is 80 ms away
  EXPECT_EQ(guard.Admit(45, &slot), VrPtsGuard::Verdict::kDropped);
  EXPECT_EQ(log.count("test video: a picture of"), 1);
  EXPECT_EQ(guard.Admit(120, &slot), VrPtsGuard::Verdict::kAsIs);  // time advances: the episode ends
  EXPECT_EQ(slot, 3);
  EXPECT_EQ(guard.Admit(0, &slot), VrPtsGuard::Verdict::kDropped);
  EXPECT_EQ(log.count("test video: a picture of"), 2);
  EXPECT_EQ(guard.dropped(), 3u);
  guard.Reset();  // a new file or connection
  EXPECT_EQ(guard.Admit(0, &slot), VrPtsGuard::Verdict::kAsIs);
  EXPECT_EQ(slot, 0);
}
