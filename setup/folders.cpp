// The system folder table (all-users Start-menu programs, the user's Startup folder) and the
// application's target folder below Program Files, asked of the shell at run time.
#include "setup/folders.h"

#include <shlobj.h>

#include "base/dllsearch.h"
#include "base/text.h"
#include "setup/paths.h"

char commonProgramsFolder[512];
char startupFolder[512] = "Startup";
int32_t systemFoldersResolved;

typedef BOOL(WINAPI* SpecialFolderPathFunction)(HWND, LPSTR, int, BOOL);
typedef HRESULT(WINAPI* FolderPathFunction)(HWND, int, HANDLE, DWORD, LPSTR);

// Both shell calls write at most MAX_PATH bytes, which every buffer here holds.
static_assert(sizeof commonProgramsFolder >= MAX_PATH && sizeof startupFolder >= MAX_PATH,
              "shell folder buffers hold MAX_PATH");

// SHGetSpecialFolderPathA from SHELL32. Returns 1 when both folders were resolved there.
static int ResolveWithShell32(void) {
  HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
  if (shell == nullptr) return -1;
  SpecialFolderPathFunction get =
      LookUpFunction<SpecialFolderPathFunction>(shell, "SHGetSpecialFolderPathA");
  int resolved = 0;
  if (get != nullptr) {
    resolved = 1;
    if (get(nullptr, commonProgramsFolder, CSIDL_COMMON_PROGRAMS, TRUE) != TRUE) {
      commonProgramsFolder[0] = '\0';
      resolved = 0;
    }
    if (get(nullptr, startupFolder, CSIDL_STARTUP, TRUE) != TRUE) {
      startupFolder[0] = '\0';
      resolved = 0;
    }
  }
  FreeLibrary(shell);
  return resolved;
}

// SHGetFolderPathA from SHFOLDER, for each folder that is empty.
static void ResolveWithShfolder(void) {
  HMODULE shfolder = LoadSystemLibrary("SHFOLDER.DLL");
  if (shfolder == nullptr) return;
  FolderPathFunction get = LookUpFunction<FolderPathFunction>(shfolder, "SHGetFolderPathA");
  if (get != nullptr) {
    if (commonProgramsFolder[0] == '\0' &&
        get(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, commonProgramsFolder) != S_OK) {
      commonProgramsFolder[0] = '\0';
    }
    if (startupFolder[0] == '\0' &&
        get(nullptr, CSIDL_STARTUP, nullptr, 0, startupFolder) != S_OK) {
      startupFolder[0] = '\0';
    }
  }
  FreeLibrary(shfolder);
}

void ResolveSystemFolders(void) {
  if (systemFoldersResolved) return;
  systemFoldersResolved = 1;
  const int shell32 = ResolveWithShell32();
  // SHELL32 itself missing: the folders keep their start values. Both resolved: done.
  if (shell32 != 0) return;
  ResolveWithShfolder();
}

int32_t ProgramFilesFromWindowsDirectory(char* out, size_t outSize) {
  char windowsDir[2048];
  windowsDir[0] = '\0';
  const UINT length = GetWindowsDirectoryA(windowsDir, 2000);
  windowsDir[sizeof windowsDir - 1] = '\0';
  return ProgramFilesFallback(windowsDir, length, out, outSize);
}

int32_t ResolveTargetFolder(InstallerContext* context) {
  char* target = context->targetFolder;
  char programFiles[1024];
  static_assert(sizeof programFiles >= MAX_PATH, "shell folder buffer holds MAX_PATH");
  target[0] = '\0';
  programFiles[0] = '\0';

  HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
  if (shell != nullptr) {
    SpecialFolderPathFunction get =
        LookUpFunction<SpecialFolderPathFunction>(shell, "SHGetSpecialFolderPathA");
    if (get != nullptr && get(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE) != TRUE) {
      programFiles[0] = '\0';
    }
    FreeLibrary(shell);
  }
  if (programFiles[0] == '\0') {
    HMODULE shfolder = LoadSystemLibrary("SHFOLDER.DLL");
    if (shfolder != nullptr) {
      FolderPathFunction get = LookUpFunction<FolderPathFunction>(shfolder, "SHGetFolderPathA");
      if (get != nullptr &&
          get(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles) != S_OK) {
        programFiles[0] = '\0';
      }
      FreeLibrary(shfolder);
    }
  }
  if (programFiles[0] == '\0' &&
      !ProgramFilesFromWindowsDirectory(programFiles, sizeof programFiles)) {
    return -1;
  }
  return ComposeTargetFolder(programFiles, target, sizeof context->targetFolder) ? 0 : -1;
}
