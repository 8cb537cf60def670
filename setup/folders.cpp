// The system folder table (all-users Start-menu programs, the user's Startup folder) and the
// application's target folder below Program Files, asked of the shell at run time.
#include "setup/folders.h"

#include <shlobj.h>

#include "base/codepage.h"
#include "base/dllsearch.h"
#include "base/text.h"
#include "setup/paths.h"

char commonProgramsFolder[512];
char startupFolder[512] = "Startup";
int32_t systemFoldersResolved;

typedef BOOL(WINAPI* SpecialFolderPathFunction)(HWND, LPWSTR, int, BOOL);
typedef HRESULT(WINAPI* FolderPathFunction)(HWND, int, HANDLE, DWORD, LPWSTR);

// Asks library (SHELL32: SHGetSpecialFolderPathW; SHFOLDER: SHGetFolderPathW, the folder's
// current path) for shell folder csidl and spells the answer in the ANSI code page into out.
// 1 when answered; 0 when refused, or when the code page cannot spell the folder exactly (a
// best-fitted or '?' name would be a folder the user never had): out is then empty; -1 when the
// library lacks the function: out is left as it was.
static int AskShellFolder(HMODULE library, int shfolder, int csidl, BOOL create, char* out,
                          size_t outSize) {
  WCHAR wide[MAX_PATH];
  int answered;
  if (shfolder) {
    FolderPathFunction get = LookUpFunction<FolderPathFunction>(library, "SHGetFolderPathW");
    if (get == nullptr) return -1;
    answered = get(nullptr, csidl, nullptr, 0, wide) == S_OK;
  } else {
    SpecialFolderPathFunction get =
        LookUpFunction<SpecialFolderPathFunction>(library, "SHGetSpecialFolderPathW");
    if (get == nullptr) return -1;
    answered = get(nullptr, wide, csidl, create) == TRUE;
  }
  if (answered && SpellExactly(wide, out, outSize)) return 1;
  out[0] = '\0';
  return 0;
}

// Both folders from SHELL32. Returns 1 when both were resolved there, -1 when SHELL32 itself is
// missing.
static int ResolveWithShell32(void) {
  HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
  if (shell == nullptr) return -1;
  const int common = AskShellFolder(shell, 0, CSIDL_COMMON_PROGRAMS, TRUE, commonProgramsFolder,
                                    sizeof commonProgramsFolder);
  int startup = -1;
  if (common >= 0) {
    startup = AskShellFolder(shell, 0, CSIDL_STARTUP, TRUE, startupFolder, sizeof startupFolder);
  }
  FreeLibrary(shell);
  return common == 1 && startup == 1;
}

// SHFOLDER, for each folder that is empty.
static void ResolveWithShfolder(void) {
  HMODULE shfolder = LoadSystemLibrary("SHFOLDER.DLL");
  if (shfolder == nullptr) return;
  if (commonProgramsFolder[0] == '\0') {
    AskShellFolder(shfolder, 1, CSIDL_COMMON_PROGRAMS, FALSE, commonProgramsFolder,
                   sizeof commonProgramsFolder);
  }
  if (startupFolder[0] == '\0') {
    AskShellFolder(shfolder, 1, CSIDL_STARTUP, FALSE, startupFolder, sizeof startupFolder);
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
  target[0] = '\0';
  programFiles[0] = '\0';

  HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
  if (shell != nullptr) {
    AskShellFolder(shell, 0, CSIDL_PROGRAM_FILES, FALSE, programFiles, sizeof programFiles);
    FreeLibrary(shell);
  }
  if (programFiles[0] == '\0') {
    HMODULE shfolder = LoadSystemLibrary("SHFOLDER.DLL");
    if (shfolder != nullptr) {
      AskShellFolder(shfolder, 1, CSIDL_PROGRAM_FILES, FALSE, programFiles, sizeof programFiles);
      FreeLibrary(shfolder);
    }
  }
  if (programFiles[0] == '\0' &&
      !ProgramFilesFromWindowsDirectory(programFiles, sizeof programFiles)) {
    return -1;
  }
  return ComposeTargetFolder(programFiles, target, sizeof context->targetFolder) ? 0 : -1;
}

int32_t RunningFromTargetFolder(const InstallerContext* context) {
  WCHAR module[1024];
  WCHAR target[1024];
  const DWORD length = GetModuleFileNameW(context->instanceHandle, module, 1024);
  if (length == 0 || length >= 1024 || context->targetFolder[0] == '\0' ||
      MultiByteToWideChar(CP_ACP, 0, context->targetFolder, -1, target, 1024) == 0) {
    return 0;
  }
  WCHAR* name = nullptr;  // the module's folder ends before its last backslash
  for (WCHAR* p = module; *p != 0; ++p) {
    if (*p == L'\\') name = p;
  }
  if (name == nullptr) return 0;
  *name = 0;
  // The file system compares names ordinally (case folded, every character counted), not by
  // the language rules that would pass over zero-weight characters such as a soft hyphen.
  return CompareStringOrdinal(module, -1, target, -1, TRUE) == CSTR_EQUAL;
}
