// The global InstallerContext and its start-up clearing.
#include "base/context.h"

#include <string.h>

InstallerContext installerContext;

void InitContext(HINSTANCE instance) {
  memset(&installerContext, 0, sizeof installerContext);
  installerContext.instanceHandle = instance;
}

// The worker's writes of errorText, activityText and workerResult must be visible to the window
// thread before it sees workerBusy cleared: release on store, acquire on load.
void StoreShared(int32_t* word, int32_t value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }

int32_t LoadShared(const int32_t* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
