// Target and system folders under Wine, checked against the prefix's own folder variables, and
// the loading of the shell DLLs from the system directory only.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/dllsearch.h"
#include "setup/folders.h"
#include "tests/win/setup_test_reader.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string() : value;
}

TEST(ResolveTargetFolder, GivesThe32BitProgramFilesJoinedWithTheProductFolder) {
  // The reference: the 32-bit view's ProgramFilesDir, "C:\Program Files (x86)" in a 64-bit
  // prefix and "C:\Program Files" in a 32-bit one.
  const setup_test::RegValue programFiles = setup_test::QueryValue(
      "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
  ASSERT_TRUE(programFiles.found);
  memset(installerContext.targetFolder, 'x', sizeof installerContext.targetFolder);
  ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
  EXPECT_EQ(Lower(installerContext.targetFolder),
            Lower(programFiles.data + "\\Quorel\\Tavrin-Solo"));
  EXPECT_EQ(Lower(Env("ProgramFiles") + "\\Quorel\\Tavrin-Solo"),
            Lower(installerContext.targetFolder));
  // Rebuilt, not appended to, on a second call.
  ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
  EXPECT_EQ(Lower(installerContext.targetFolder),
            Lower(programFiles.data + "\\Quorel\\Tavrin-Solo"));
}

TEST(ResolveTargetFolder, WindowsDirectoryFallbackGivesProgramFilesOnItsDrive) {
  char windowsDir[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windowsDir, sizeof windowsDir), 2u);
  char out[1024];
  ASSERT_EQ(ProgramFilesFromWindowsDirectory(out, sizeof out), 1);
  EXPECT_EQ(std::string(out), std::string(windowsDir, 3) + "Program Files\\");
  char small[8];
  EXPECT_EQ(ProgramFilesFromWindowsDirectory(small, sizeof small), 0);
  EXPECT_STREQ(small, "");
}

// The running program's folder named in either letter case is the target folder; one character
// more, less, or a soft hyphen (0xAD in code page 1252, ignored by language-aware comparison)
// names another.
TEST(RunningFromTargetFolder, ComparesTheFolderOrdinallyIgnoringCase) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  ASSERT_TRUE(n > 0 && n < sizeof self);
  const std::string folder = std::string(self).substr(0, std::string(self).rfind('\\'));
  std::string upper = folder, soft = folder;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  soft.insert(folder.rfind('\\') + 2, "\xAD");
  const struct {
    std::string target;
    int32_t want;
  } cases[] = {{folder, 1}, {Lower(folder), 1}, {upper, 1}, {folder + "\\x", 0},
               {folder.substr(0, folder.size() - 1), 0}, {soft, 0}, {"", 0}};
  installerContext.instanceHandle = GetModuleHandleA(nullptr);
  for (const auto& c : cases) {
    snprintf(installerContext.targetFolder, sizeof installerContext.targetFolder, "%s",
             c.target.c_str());
    EXPECT_EQ(RunningFromTargetFolder(&installerContext), c.want) << c.target;
  }
}

TEST(ResolveSystemFolders, ResolvesBothFoldersOnceAndASecondCallChangesNothing) {
  EXPECT_STREQ(commonProgramsFolder, "");
  EXPECT_STREQ(startupFolder, "Startup");
  EXPECT_EQ(systemFoldersResolved, 0);
  ResolveSystemFolders();
  EXPECT_EQ(systemFoldersResolved, 1);
  // The reference: the prefix's folder variables and the Start-menu layout below them.
  EXPECT_EQ(Lower(commonProgramsFolder),
            Lower(Env("ProgramData") + "\\Microsoft\\Windows\\Start Menu\\Programs"));
  EXPECT_EQ(Lower(startupFolder),
            Lower(Env("APPDATA") + "\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"));
  EXPECT_NE(GetFileAttributesA(commonProgramsFolder) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(GetFileAttributesA(startupFolder), INVALID_FILE_ATTRIBUTES);
  lstrcpynA(commonProgramsFolder, "marker", sizeof commonProgramsFolder);
  startupFolder[0] = '\0';
  ResolveSystemFolders();
  EXPECT_STREQ(commonProgramsFolder, "marker");
  EXPECT_STREQ(startupFolder, "");
}

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(module, path, sizeof path);
  return path;
}

// A folder holding a planted SHFOLDER.DLL that answers "C:\planted", put on the DLL search path
// ahead of the system directory, as the folder beside a downloaded installer would be.
std::string PlantShfolder() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string here(self);
  here = here.substr(0, here.rfind('\\'));
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string folder =
      std::string(temp) + "QuorelPlanted" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  CopyFileA((here + "\\setup_planted_dll.dll").c_str(), (folder + "\\SHFOLDER.DLL").c_str(),
            FALSE);
  SetDllDirectoryA(folder.c_str());
  return folder;
}

// Windows loads a DLL of that name found first on the search path; Wine prefers its built-in
// shfolder unless this program's DllOverrides say otherwise when the process starts. So the
// planted cases run again in a child process, after the override has been written (it stays:
// it concerns this test program only, in a throwaway prefix). 0 when they passed.
bool InPlantedChild() { return !Env("SETUP_PLANTED_CHILD").empty(); }

DWORD RunInPlantedChild(const char* testName) {
  HKEY key;
  if (RegCreateKeyA(HKEY_CURRENT_USER,
                    "Software\\Wine\\AppDefaults\\setup_folders_tests.exe\\DllOverrides",
                    &key) != ERROR_SUCCESS) {
    return 997;
  }
  const char order[] = "native,builtin";
  RegSetValueExA(key, "shfolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof order);
  RegCloseKey(key);
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string command = std::string("\"") + self + "\" --gtest_filter=" + testName;
  SetEnvironmentVariableA("SETUP_PLANTED_CHILD", "1");
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 999;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 998;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

typedef HRESULT(WINAPI* FolderPathFunction)(HWND, int, HANDLE, DWORD, LPSTR);

std::string AskFolder(HMODULE module) {
  FolderPathFunction get = LookUpFunction<FolderPathFunction>(module, "SHGetFolderPathA");
  char path[MAX_PATH] = "";
  if (get == nullptr || get(nullptr, 0x26, nullptr, 0, path) != S_OK) return "(none)";
  return path;
}

TEST(LoadSystemLibrary, IgnoresADllPlantedOnTheSearchPath) {
  if (!InPlantedChild()) {
    EXPECT_EQ(RunInPlantedChild("LoadSystemLibrary.IgnoresADllPlantedOnTheSearchPath"), 0u);
    return;
  }
  const std::string folder = PlantShfolder();
  // The plant works: loading by bare name picks it up.
  HMODULE bare = LoadLibraryA("SHFOLDER.DLL");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(AskFolder(bare), "C:\\planted");
  FreeLibrary(bare);
  ASSERT_EQ(GetModuleHandleA("SHFOLDER.DLL"), nullptr);

  HMODULE system = LoadSystemLibrary("SHFOLDER.DLL");
  ASSERT_NE(system, nullptr);
  char systemDir[MAX_PATH];
  GetSystemDirectoryA(systemDir, sizeof systemDir);
  EXPECT_EQ(Lower(ModulePath(system)), Lower(std::string(systemDir) + "\\shfolder.dll"));
  EXPECT_NE(AskFolder(system), "C:\\planted");
  FreeLibrary(system);
}

TEST(RestrictDllSearch, KeepsBareNameLoadsInTheSystemDirectory) {
  if (!InPlantedChild()) {
    EXPECT_EQ(RunInPlantedChild("RestrictDllSearch.KeepsBareNameLoadsInTheSystemDirectory"), 0u);
    return;
  }
  PlantShfolder();
  RestrictDllSearch();
  HMODULE bare = LoadLibraryA("SHFOLDER.DLL");
  ASSERT_NE(bare, nullptr);
  EXPECT_NE(AskFolder(bare), "C:\\planted");
  FreeLibrary(bare);
  // The shell still works after the restriction: the target folder resolves.
  EXPECT_EQ(ResolveTargetFolder(&installerContext), 0);
}

// Where the search cannot be restricted (Vista): the DLLs loaded from the system folder first
// are the ones a later bare-name load finds, not the plant it would otherwise pick up.
TEST(LoadLaterDllsFromSystemFolder, BareNameLoadsAfterwardsGetTheSystemCopy) {
  if (!InPlantedChild()) {
    EXPECT_EQ(RunInPlantedChild(
                  "LoadLaterDllsFromSystemFolder.BareNameLoadsAfterwardsGetTheSystemCopy"),
              0u);
    return;
  }
  PlantShfolder();
  HMODULE bare = LoadLibraryA("SHFOLDER.DLL");  // without the preload: the plant
  EXPECT_EQ(AskFolder(bare), "C:\\planted");
  FreeLibrary(bare);
  ASSERT_EQ(GetModuleHandleA("SHFOLDER.DLL"), nullptr);
  LoadLaterDllsFromSystemFolder();
  bare = LoadLibraryA("SHFOLDER.DLL");
  EXPECT_NE(AskFolder(bare), "C:\\planted");
  FreeLibrary(bare);
}

}  // namespace
