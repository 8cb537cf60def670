// Where the installer's DLLs come from. It runs elevated, often from a downloads folder: a DLL
// planted beside it must never be loaded, so system DLLs are loaded from the system directory.
#pragma once
#include <windows.h>

// Restricts the process's DLL search to the system directory (SetDefaultDllDirectories, looked
// up at run time: it exists from Windows 8 and on Vista/7 with update KB2533623). Not used on
// Vista (6.0), where shell links misbehave after the call. Where the search is not restricted,
// loads by full path the system DLLs that would later be looked up by name (uxtheme, dwmapi,
// propsys, comctl32, shfolder, version, cryptbase). Called first thing at start-up.
void RestrictDllSearch(void);

// Loads those system DLLs by full path (one missing from the system directory is skipped), so
// that a later load by bare name finds them loaded instead of searching the program's folder.
void LoadLaterDllsFromSystemFolder(void);

// Loads the system DLL name ("SHELL32.DLL") by its full path in the system directory. Null when
// it cannot be loaded or the path does not fit.
HMODULE LoadSystemLibrary(const char* name);

// GetProcAddress cast to the function type Fn without a function-cast warning.
template <typename Fn>
Fn LookUpFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}
