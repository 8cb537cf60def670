// One source for the sample payload's libraries: the decoder and the remote-control plug-ins.
// Each is built under its own name with its own PLUGIN_NAME, so every DLL differs.
#include <windows.h>

#ifndef PLUGIN_NAME
#define PLUGIN_NAME "unnamed"
#endif

extern "C" {
__declspec(dllexport) const char* WINAPI TavrinPluginName(void);
__declspec(dllexport) int WINAPI TavrinPluginVersion(void);
}

static const char pluginName[] = PLUGIN_NAME;

const char* WINAPI TavrinPluginName(void) { return pluginName; }

int WINAPI TavrinPluginVersion(void) { return 0x00010204; }
