#include <gtest/gtest.h>

#include "core/version_rule.h"

TEST(VersionRule, ChoosesRouteOrRefusal) {
  struct Case { uint32_t platform, major, minor; VersionOutcome outcome; };
  const Case cases[] = {
      {0, 3, 10, RefuseWin32s},
      {0, 0, 0, RefuseWin32s},        // what a failed version query leaves
      {1, 4, 0, RefuseUnsupported},   // Windows 95
      {1, 4, 9, RefuseUnsupported},
      {1, 4, 10, RunAspi},            // Windows 98
      {1, 4, 90, RunAspi},            // Windows ME
      {2, 4, 0, RefuseUnsupported},   // NT 4.0
      {2, 5, 0, RunPassThrough},
      {2, 6, 1, RunPassThrough},
      {2, 10, 0, RunPassThrough},
      {3, 10, 0, RefuseUnsupported},
      {0xFFFFFFFF, 10, 0, RefuseUnsupported},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ApplyVersionRule(c.platform, c.major, c.minor), c.outcome)
        << c.platform << " " << c.major << "." << c.minor;
  }
}

TEST(PlaceWindow, CentresAcrossAndOneThirdDown) {
  int32_t x, y;
  PlaceWindow(1024, 768, 400, 300, &x, &y);
  EXPECT_EQ(x, 312);
  EXPECT_EQ(y, 156);
}

TEST(PlaceWindow, TruncatesTowardZeroWhenLargerThanScreen) {
  int32_t x, y;
  PlaceWindow(599, 480, 600, 485, &x, &y);
  EXPECT_EQ(x, 0);   // -1 / 2
  EXPECT_EQ(y, -1);  // -5 / 3
}
