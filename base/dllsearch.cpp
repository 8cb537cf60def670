// DLL search hardening: the process-wide restriction to the system directory, or where that is
// not possible, the system DLLs loaded by full path before anything asks for them by name; and
// loading of system DLLs by full path.
#include "base/dllsearch.h"

#include "base/path.h"
#include "base/text.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// System DLLs that are not loaded at start-up but later by bare name, by the program and by the
// platform's window, theme and shell code (uxtheme at window creation; dwmapi, propsys,
// comctl32, shfolder, version, cryptbase). A bare name finds a module of that name already
// loaded before it searches any folder.
static const char* const kLoadedLaterByName[] = {
    "UXTHEME.DLL", "DWMAPI.DLL", "PROPSYS.DLL", "COMCTL32.DLL", "SHFOLDER.DLL",
    "VERSION.DLL", "CRYPTBASE.DLL",
};

void LoadLaterDllsFromSystemFolder(void) {
  for (const char* name : kLoadedLaterByName) LoadSystemLibrary(name);
}

void RestrictDllSearch(void) {
  const DWORD version = GetVersion();
  const bool vista = LOBYTE(LOWORD(version)) == 6 && HIBYTE(LOWORD(version)) == 0;
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  SetDefaultDllDirectoriesFunction restrict = nullptr;
  if (!vista && kernel != nullptr) {
    restrict = LookUpFunction<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
  }
  if (restrict != nullptr && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // The search still starts in the installer's own folder (often a downloads folder).
  LoadLaterDllsFromSystemFolder();
}

HMODULE LoadSystemLibrary(const char* name) {
  char path[1024];
  const UINT length = GetSystemDirectoryA(path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  if (!JoinPath(path, sizeof path, path, name)) return nullptr;
  return LoadLibraryA(path);
}
