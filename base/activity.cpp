// The hand-over of activityText from the install worker to the window thread, which draws it on
// every blink tick while the worker may be switching to the next step.
//
// The worker never changes a text in place under the reader's eyes in a way that matters: the
// step names are four fixed texts, and what the worker publishes is which of them is current, as
// one shared word (base/shared.h). The reader loads that word and copies the chosen constant text
// whole. A copy can therefore only ever be one complete step name, never a mixture of two, and
// neither side waits or retries: a seqlock around
// the 1024-byte field would make the window thread (normal priority) spin on a writer running at
// below-normal priority, and a lock would make painting wait for file work. The field itself is
// still filled with the text, for anyone who looks at the context after the worker has ended.
// The context exists once per process, so the published word does too.
#include <string.h>

#include "base/activity.h"
#include "base/shared.h"
#include "base/text.h"

static const char* const stepNames[] = {
    "",  // nothing published yet
    "Extract Package",
    "Copy Files",
    "Finalize Installation",
    "Installation Completed",
};
enum { STEP_NAME_COUNT = sizeof stepNames / sizeof stepNames[0] };

static int32_t publishedStep;  // index into stepNames

void SetActivityText(InstallerContext* context, const char* stepName) {
  int32_t step = 0;
  for (int32_t i = 1; i < STEP_NAME_COUNT; ++i) {
    if (stepName != nullptr && strcmp(stepName, stepNames[i]) == 0) step = i;
  }
  TextCopy(context->activityText, sizeof context->activityText, stepNames[step]);
  StoreShared(&publishedStep, step);
}

void ReadActivityText(const InstallerContext* context, char* out, size_t outSize) {
  (void)context;
  int32_t step = LoadShared(&publishedStep);
  if (step < 0 || step >= STEP_NAME_COUNT) step = 0;
  TextCopy(out, outSize, stepNames[step]);
}
