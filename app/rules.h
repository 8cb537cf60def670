// The window's decisions as pure functions of plain numbers: what a click hits, and what an
// unattended run does.
#pragma once
#include <stdint.h>

enum ClickTarget : int32_t {
  CLICK_NOTHING = 0,  // the band outside the button, or the button's own edge
  CLICK_BUTTON = 1,   // strictly inside the button rectangle
  CLICK_PICTURE = 2,  // anywhere above the picture's lower edge (and not on the button)
};

// The button is (left, top, right, bottom) as last drawn, all zero before the first drawing.
ClickTarget ClassifyClick(int32_t left, int32_t top, int32_t right, int32_t bottom,
                          int32_t pictureHeight, int32_t x, int32_t y);

enum UnattendedAction : int32_t {
  UNATTENDED_NOTHING = 0,  // only "-u", the application is not installed, and the program is not
                           // the uninstaller copy in the target folder
  UNATTENDED_REMOVE = 1,   // installed: "-i" and "-u" both remove, like the "Remove" button; and
                           // "-u" from the uninstaller copy, which finishes a removal stopped
                           // after the application's program was deleted
  UNATTENDED_INSTALL = 2,  // not installed and "-i" given
};

UnattendedAction ChooseUnattendedAction(int32_t appInstalled, int32_t installRequested,
                                        int32_t fromTargetFolder);
