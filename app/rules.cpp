// Click targets and unattended actions.
#include "app/rules.h"

ClickTarget ClassifyClick(int32_t left, int32_t top, int32_t right, int32_t bottom,
                          int32_t pictureHeight, int32_t x, int32_t y) {
  // Strict on all four sides: the outline the button is drawn with does not count as a hit.
  if (left < x && x < right && top < y && y < bottom) return CLICK_BUTTON;
  if (y < pictureHeight) return CLICK_PICTURE;
  return CLICK_NOTHING;
}

UnattendedAction ChooseUnattendedAction(int32_t appInstalled, int32_t installRequested,
                                        int32_t fromTargetFolder) {
  if (appInstalled != 0) return UNATTENDED_REMOVE;
  if (installRequested == 1) return UNATTENDED_INSTALL;
  if (fromTargetFolder != 0) return UNATTENDED_REMOVE;
  return UNATTENDED_NOTHING;
}
