// Drives the shortcut operations from a script test, so that lnkinfo can read the links back:
//   setup_shortcut_tool create FOLDER NAME TARGET   exit 0 when CreateShortcut gave S_OK
//   setup_shortcut_tool delete FOLDER NAME          exit 0 when DeleteShortcut deleted a file
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "setup/shortcuts.h"

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "create") == 0) {
    CoInitialize(nullptr);
    const HRESULT result = CreateShortcut(argv[2], argv[3], argv[4]);
    CoUninitialize();
    printf("CreateShortcut: 0x%08lx\n", static_cast<unsigned long>(result));
    return result == S_OK ? 0 : 1;
  }
  if (argc == 4 && strcmp(argv[1], "delete") == 0) {
    const BOOL deleted = DeleteShortcut(argv[2], argv[3]);
    printf("DeleteShortcut: %d\n", static_cast<int>(deleted));
    return deleted ? 0 : 1;
  }
  fprintf(stderr, "usage: setup_shortcut_tool create FOLDER NAME TARGET | delete FOLDER NAME\n");
  return 2;
}
