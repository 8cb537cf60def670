// DLL search hardening: the process-wide restriction to the system directory, and loading of
// system DLLs by full path.
#include "base/dllsearch.h"

#include "base/text.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

void RestrictDllSearch(void) {
  const DWORD version = GetVersion();
  if (LOBYTE(LOWORD(version)) == 6 && HIBYTE(LOWORD(version)) == 0) return;
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  if (kernel == nullptr) return;
  SetDefaultDllDirectoriesFunction restrict =
      LookUpFunction<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
  if (restrict != nullptr) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemLibrary(const char* name) {
  char path[1024];
  const UINT length = GetSystemDirectoryA(path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  if (!JoinPath(path, sizeof path, path, name)) return nullptr;
  return LoadLibraryA(path);
}
