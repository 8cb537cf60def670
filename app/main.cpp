// Program entry of TavrinSoloSetup.exe.
#include <windows.h>

#include "app/cmdline.h"
#include "app/context.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  ParseCommandLine(commandLine);
  InitContext(instance);
  return 0;
}
