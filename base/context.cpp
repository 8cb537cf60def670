// The global InstallerContext and its start-up clearing.
#include "base/context.h"

#include <string.h>

InstallerContext installerContext;

void InitContext(HINSTANCE instance) {
  memset(&installerContext, 0, sizeof installerContext);
  installerContext.instanceHandle = instance;
}

