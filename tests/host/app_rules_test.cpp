// What a click hits and what an unattended run does.
#include <gtest/gtest.h>

#include "app/rules.h"

namespace {

// The button as drawn with the 900 x 424 picture.
const int32_t L = 580, T = 444, R = 880, B = 504, H = 424;

ClickTarget Click(int32_t x, int32_t y) { return ClassifyClick(L, T, R, B, H, x, y); }

TEST(ClassifyClick, ButtonEdgesAreNotHits) {
  EXPECT_EQ(CLICK_NOTHING, Click(L, 470));
  EXPECT_EQ(CLICK_NOTHING, Click(R, 470));
  EXPECT_EQ(CLICK_NOTHING, Click(700, T));
  EXPECT_EQ(CLICK_NOTHING, Click(700, B));
  EXPECT_EQ(CLICK_NOTHING, Click(L, T));
  EXPECT_EQ(CLICK_NOTHING, Click(R, B));
  // One pixel inside each edge is a hit.
  EXPECT_EQ(CLICK_BUTTON, Click(L + 1, 470));
  EXPECT_EQ(CLICK_BUTTON, Click(R - 1, 470));
  EXPECT_EQ(CLICK_BUTTON, Click(700, T + 1));
  EXPECT_EQ(CLICK_BUTTON, Click(700, B - 1));
}

TEST(ClassifyClick, PictureCountsAtAnyXAboveItsLowerEdge) {
  EXPECT_EQ(CLICK_PICTURE, Click(0, 0));
  EXPECT_EQ(CLICK_PICTURE, Click(899, H - 1));
  EXPECT_EQ(CLICK_PICTURE, Click(5000, 10));   // x plays no part
  EXPECT_EQ(CLICK_PICTURE, Click(-3, -1));     // signed coordinates (captured mouse)
  EXPECT_EQ(CLICK_NOTHING, Click(10, H));      // the band's first row
  EXPECT_EQ(CLICK_NOTHING, Click(10, H + 90)); // the band outside the button
  EXPECT_EQ(CLICK_NOTHING, Click(L - 1, 470)); // just left of the button
}

TEST(ClassifyClick, NothingIsAButtonBeforeItWasDrawn) {
  for (int32_t x = -1; x <= 1; ++x)
    for (int32_t y = -1; y <= 1; ++y) EXPECT_NE(CLICK_BUTTON, ClassifyClick(0, 0, 0, 0, 0, x, y));
  // Picture height 0 too (resources not loaded): a click at the origin hits nothing at all.
  EXPECT_EQ(CLICK_NOTHING, ClassifyClick(0, 0, 0, 0, 0, 0, 0));
}

TEST(ChooseUnattendedAction, InstalledStateDecidesFirst) {
  for (int fromTarget = 0; fromTarget < 2; ++fromTarget) {
    EXPECT_EQ(UNATTENDED_REMOVE, ChooseUnattendedAction(1, 0, fromTarget));  // -u, installed
    EXPECT_EQ(UNATTENDED_REMOVE, ChooseUnattendedAction(1, 1, fromTarget));  // -i, installed
    EXPECT_EQ(UNATTENDED_INSTALL, ChooseUnattendedAction(0, 1, fromTarget)); // -i, not installed
  }
  EXPECT_EQ(UNATTENDED_NOTHING, ChooseUnattendedAction(0, 0, 0)); // -u, not installed
  // -u from the uninstaller copy after a removal stopped past the program's deletion
  EXPECT_EQ(UNATTENDED_REMOVE, ChooseUnattendedAction(0, 0, 1));
}

}  // namespace
