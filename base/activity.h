// The step name the install worker shows the window while it works: written by the worker,
// read by the window thread on every blink tick.
#pragma once
#include <stddef.h>

#include "base/context.h"

// Switches activityText to one of the four step names ("Extract Package", "Copy Files",
// "Finalize Installation", "Installation Completed"; any other text clears it) in a way the
// window thread can always read whole (see base/activity.cpp). ReadActivityText copies the
// current name whole into out, or an empty string when it does not fit outSize; it never waits.
void SetActivityText(InstallerContext* context, const char* stepName);
void ReadActivityText(const InstallerContext* context, char* out, size_t outSize);
