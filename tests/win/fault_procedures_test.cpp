// Fault loops over the install and removal procedures under Wine: a clean run counts the calls
// the fault kit can make fail, then each call in turn fails (and each deletion in turn reports
// success while the entry stays), and after every run the same invariants hold: a result from
// the outcome table and whole files on success, one result message as the last effect, nothing
// written or removed outside the product's places, the earlier uninstaller kept, no partial
// copy or part file, the uninstall record only after the last file, a removal that ends.
// Calls that only a failing run makes (its clean-up) are failed in turn as a second fault.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/dllsearch.h"
#include "base/product.h"
#include "base/text.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "setup/registry.h"
#include "tests/win/fault_kit.h"
#include "tests/win/procedures_testkit.h"

namespace {

using proctest::Clean;
using proctest::Exists;
using proctest::MakeWindow;
using proctest::Pump;

enum Procedure { kFreshInstall, kInstallOver, kRemoval, kRemovalInUse };
const char* const kProcedureNames[] = {"install on a clean machine", "install over an install",
                                       "removal", "removal with files in use"};
const DWORD kTimeBoundMs = 30000;
const std::map<std::string, std::string> kNoFiles;
// The calls a clean-up makes: files and folders looked at, made writable, removed or renamed.
const std::set<std::string> kCleanUpCalls = {
    "DeleteFileA",    "SetFileAttributesA", "GetFileAttributesA", "RemoveDirectoryA",
    "MoveFileA",      "MoveFileExA",        "FindFirstFileA",     "FindNextFileA",
    "DeleteFileW",    "SetFileAttributesW", "GetFileAttributesW", "RemoveDirectoryW",
    "FindFirstFileW", "FindNextFileW"};


std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// path is place itself or lies below it.
bool Within(const std::string& path, const std::string& place) {
  const std::string p = Lower(path), q = Lower(place);
  return p == q || (p.size() > q.size() && p.compare(0, q.size(), q) == 0 && p[q.size()] == '\\');
}

std::string ReadWhole(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD got = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

bool KeyExists(HKEY root, const char* subkey) {
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void DeleteKeyTree(HKEY root, const char* subkey) {
  RegDeleteTreeA(root, subkey);
  RegDeleteKeyA(root, subkey);
}

// What a run injects: the mode's k-th call (of function, for the named modes), and then's
// thenK-th call as well.
struct Plan {
  fault::Mode mode;
  std::string function;
  long k;
  std::string then;
  long thenK;
  DWORD error;  // kFailFirst: what the failed calls answer
};

bool Named(const Plan& plan) {
  return plan.mode == fault::kFailNamed || plan.mode == fault::kShortNamed;
}

struct ProcedureRun {
  Procedure procedure;
  Plan plan;
  int32_t result;
  LONG done;
};

DWORD WINAPI ProcedureThread(void* parameter) {
  ProcedureRun* run = static_cast<ProcedureRun*>(parameter);
  const HRESULT com = CoInitialize(nullptr);
  const Plan& plan = run->plan;
  if (plan.mode == fault::kFailFirst) {
    fault::ArmFirst(plan.function.c_str(), plan.k, plan.error);
  } else if (Named(plan)) {
    fault::ArmNamed(plan.mode, plan.function.c_str(), plan.k, plan.then.c_str(), plan.thenK);
  } else {
    fault::Arm(plan.mode, plan.k);
  }
  run->result = run->procedure <= kInstallOver ? InstallProcedure(&installerContext)
                                               : UninstallProcedure();
  fault::Disarm();
  if (SUCCEEDED(com)) CoUninitialize();
  InterlockedExchange(&run->done, 1);
  return 0;
}

class FaultLoops : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fault::Install();
    ResolveSystemFolders();
    char programs[MAX_PATH];
    HKEY key;
    if (SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs) == S_OK &&
        RegCreateKeyA(HKEY_CURRENT_USER, SHELL_FOLDERS_KEY, &key) == ERROR_SUCCESS) {
      RegSetValueExA(key, "Programs", 0, REG_SZ, reinterpret_cast<BYTE*>(programs),
                     static_cast<DWORD>(strlen(programs) + 1));
      RegCloseKey(key);
    }
  }

  void SetUp() override {
    InitContext(GetModuleHandleA(nullptr));
    installerContext.mainWindow = MakeWindow();
    ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
    target_ = installerContext.targetFolder;
    char programs[1024];
    ASSERT_EQ(ReadUserProgramsFolder(programs, sizeof programs), 1);
    userMenu_ = std::string(programs) + "\\Quorel\\Tavrin-Solo";
    ASSERT_NE(commonProgramsFolder[0], '\0');
    commonMenu_ = std::string(commonProgramsFolder) + "\\Quorel\\Tavrin-Solo";
    // The installer as downloaded (read-only): any file serves as the copy's source.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    download_ = std::string(temp) + "fault-download";
    CreateDirectoryA(download_.c_str(), nullptr);
    installer_ = download_ + "\\TavrinSoloSetup.exe";
    SetFileAttributesA(installer_.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(CopyFileA(TAVRIN_FAULT_PACKAGE_DLL, installer_.c_str(), FALSE));
    SetFileAttributesA(installer_.c_str(), FILE_ATTRIBUTE_READONLY);
    installerBytes_ = ReadWhole(installer_);
    Reset();
  }

  void TearDown() override {
    StopApp();
    Reset();
  }

  // Nothing installed.
  void Reset() {
    Clean(target_);
    Clean(userMenu_);
    Clean(commonMenu_);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY);
    DeleteKeyTree(HKEY_CURRENT_USER, APP_SETTINGS_KEY);
  }

  // The package comes from a DLL loaded afresh for every run: extraction unscrambles the
  // package's pages in place, and a fresh mapping has them as built.
  void LoadPackage() {
    package_ = LoadLibraryA(TAVRIN_FAULT_PACKAGE_DLL);
    ASSERT_NE(package_, nullptr);
    installerContext.instanceHandle = package_;
    installerContext.mainWindow = MakeWindow();
    ASSERT_TRUE(TextCopy(installerContext.installerPath, sizeof installerContext.installerPath,
                         installer_.c_str()));
  }

  void UnloadPackage() {
    FreeLibrary(package_);
    package_ = nullptr;
  }

  // Runs the procedure on a thread of its own under the plan; false when it did not end in time.
  bool RunProcedure(Procedure procedure, const Plan& plan, int32_t* result) {
    LoadPackage();
    ProcedureRun run = {procedure, plan, -99, 0};
    HANDLE thread = CreateThread(nullptr, 0, ProcedureThread, &run, 0, nullptr);
    const bool ended = WaitForSingleObject(thread, kTimeBoundMs) == WAIT_OBJECT_0;
    fault::Disarm();
    if (!ended) {
      TerminateThread(thread, 1);
      WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    UnloadPackage();
    *result = run.result;
    return ended;
  }

  void StartApp() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    const std::string exe = target_ + "\\TavrinSolo.exe";
    ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &app_));
    WaitForInputIdle(app_.hProcess, 10000);
  }

  void StopApp() {
    if (app_.hProcess == nullptr) return;
    TerminateProcess(app_.hProcess, 0);
    WaitForSingleObject(app_.hProcess, 10000);
    CloseHandle(app_.hProcess);
    CloseHandle(app_.hThread);
    app_ = {};
  }

  // The starting state of each procedure: nothing, or a whole install (with a subkey that a
  // publisher's tool added to the record, and the application running where it is in use).
  void Prepare(Procedure procedure) {
    StopApp();
    Reset();
    if (procedure == kFreshInstall) return;
    int32_t result = -99;
    ASSERT_TRUE(RunProcedure(kFreshInstall, {fault::kCount}, &result));
    ASSERT_EQ(result, 0);
    Pump();
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY "\\Extras", &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    if (procedure == kRemovalInUse) StartApp();
  }

  // path := bytes, with attributes.
  void Put(const std::string& path, const std::string& bytes, DWORD attributes) {
    Clean(path);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
  }

  // One run under the plan, and the invariants after it. Returns false when the loop must stop.
  bool RunAndCheck(Procedure procedure, const Plan& plan) {
    Prepare(procedure);
    if (HasFatalFailure()) return false;
    const bool recordBefore = KeyExists(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY);
    int32_t result = -99;
    const bool ended = RunProcedure(procedure, plan, &result);
    const std::string where = fault::InjectedWhere();
    const std::string planned = plan.function + " " + std::to_string(plan.k) + " mode " +
                                std::to_string(plan.mode) + " then " + plan.then + " " +
                                std::to_string(plan.thenK);
    SCOPED_TRACE(std::string(kProcedureNames[procedure]) + ", " + planned + ": " +
                 (where.empty() ? "no fault" : where));
    ++runs_;
    if (GetEnvironmentVariableA("FAULT_VERBOSE", nullptr, 0) != 0) {
      printf("%s: %s -> %d\n", planned.c_str(), where.c_str(), static_cast<int>(result));
    }
    // Every planned fault of a named plan falls on a call the procedure makes.
    if (Named(plan) && plan.k != 0 && fault::Injected() != 1 + !plan.then.empty()) {
      notInjected_.push_back(planned + " (" + where + ")");
    }
    const bool install = procedure <= kInstallOver;
    if (!ended) {
      ADD_FAILURE() << "did not end within " << kTimeBoundMs / 1000 << " s";
      return false;
    }
    outcomes_[result]++;
    const std::set<int32_t> table =
        install ? std::set<int32_t>{0, -1, -2, -3, -10} : std::set<int32_t>{0, -1, -2};
    EXPECT_TRUE(table.count(result)) << "result " << result;
    // A successful install leaves every package file whole.
    for (const auto& file : install && result == 0 ? wholeFiles_ : kNoFiles) {
      EXPECT_TRUE(ReadWhole(file.first) == file.second) << "not whole: " << file.first;
    }
    // Exactly one result message (the install's outcome; a removal's failure only), posted as
    // the procedure's last effect.
    std::vector<std::pair<int, LPARAM>> expected;
    if (install || result != 0) {
      expected.emplace_back(ID_RESULT, result == 0 ? RESULT_SUCCEEDED : RESULT_FAILED);
    }
    EXPECT_EQ(Pump(), expected);
    const std::vector<fault::Effect> effects = fault::Effects();
    if (!expected.empty() && !effects.empty()) {
      EXPECT_EQ(effects.back().function, "PostMessageA") << "an effect after the result message";
    }
    // Every change lies in the target folder, the two Start-menu folders or the uninstall key
    // (a removal also clears the application's settings and deletes its Startup link); only
    // folders are made above them, to make their paths.
    std::vector<std::string> places = {target_, userMenu_, commonMenu_,
                                       "HKLM\\" UNINSTALL_RECORD_KEY};
    if (!install) {
      places.push_back("HKCU\\" APP_SETTINGS_KEY);
      places.push_back(std::string(startupFolder) + "\\Tavrin-Solo (Quorel).LNK");
    }
    size_t lastFileWrite = 0, firstRecordWrite = 0;
    for (size_t i = 0; i < effects.size(); ++i) {
      const fault::Effect& effect = effects[i];
      if (effect.function == "LoadLibraryA" || effect.function == "PostMessageA" ||
          effect.function == "Sleep") {
        continue;
      }
      bool inside = false;
      for (const std::string& place : places) {
        inside = inside || Within(effect.path, place) ||
                 (effect.function == "CreateDirectoryA" && Within(place, effect.path));
      }
      EXPECT_TRUE(inside) << effect.function << " " << effect.path;
      if (Within(effect.path, "HKLM\\" UNINSTALL_RECORD_KEY)) {
        if (firstRecordWrite == 0) firstRecordWrite = i + 1;
      } else if (effect.function != "CreateDirectoryA" && effect.function != "SetFileAttributesA") {
        lastFileWrite = i + 1;  // a file, link, copy or rename
      }
    }
    // Every link there is names its file in the target folder.
    for (const std::string& menu : {userMenu_, commonMenu_}) {
      for (const char* name : {"Readme", "TavrinSolo"}) {
        const std::string link = menu + "\\" + name + ".LNK";
        if (!Exists(link)) continue;
        const std::string file = std::string(name) == "Readme" ? APP_README_NAME
                                                               : APP_EXECUTABLE_NAME;
        EXPECT_EQ(Lower(proctest::LinkTarget(link)), Lower(target_ + "\\" + file)) << link;
      }
    }
    // The installer copy is whole, or absent where there was none; no part file is left but
    // one whose own clean-up was failed (or whose rename lied).
    const std::string copy = target_ + "\\TavrinSoloSetup.exe", part = copy + ".part";
    if (Exists(copy)) {
      EXPECT_TRUE(ReadWhole(copy) == installerBytes_) << "partial copy";
    } else {
      EXPECT_NE(procedure, kInstallOver) << "the earlier uninstaller was lost";
    }
    const std::string faults = Lower(where);
    const bool partFaulted = faults.find(Lower("DeleteFileA(" + part)) != std::string::npos ||
                             faults.find(Lower("SetFileAttributesA(" + part)) != std::string::npos ||
                             (!Named(plan) && faults.find(Lower(part)) != std::string::npos);
    EXPECT_TRUE(!Exists(part) || partFaulted) << "part file left";
    // The uninstall record only after a whole install, and after every file, link and copy.
    if (install && !recordBefore && KeyExists(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY)) {
      EXPECT_EQ(result, 0) << "record left by a failed install";
    }
    if (install && firstRecordWrite != 0) {
      EXPECT_GT(firstRecordWrite, lastFileWrite) << "record written before the last file";
    }
    return !HasFatalFailure();
  }

  // The loop of one procedure: count, then fail each call (counted by function, so that calls
  // made on the procedure's other threads are each reached too), and each call that only the
  // failing run made (its clean-up) as a second fault; then make each write and copy lie about
  // its length, and each deletion about its success.
  void Loop(Procedure procedure) {
    ASSERT_TRUE(RunAndCheck(procedure, {fault::kCount}));
    const long calls = fault::Calls(), deletions = fault::Deletions();
    const std::map<std::string, long> byFunction = fault::CallsByFunction();
    ASSERT_GT(calls, 10);
    if (procedure <= kInstallOver) {
      for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
        const std::string path = target_ + "\\" + entry.entryName;
        wholeFiles_[path] = ReadWhole(path);
      }
    }
    std::set<std::string> cleanUps;  // first function, then call, failed together already
    for (const auto& function : byFunction) {
      for (long k = 1; k <= function.second; ++k) {
        if (!RunAndCheck(procedure, {fault::kFailNamed, function.first, k})) return;
        for (const auto& made : fault::CallsByFunction()) {
          if (!kCleanUpCalls.count(made.first.substr(0, made.first.find('@')))) continue;
          const auto clean = byFunction.find(made.first);
          for (long j = clean == byFunction.end() ? 1 : clean->second + 1; j <= made.second; ++j) {
            if (!cleanUps.insert(function.first + " " + made.first + std::to_string(j)).second) {
              continue;
            }
            if (!RunAndCheck(procedure, {fault::kFailNamed, function.first, k, made.first, j})) {
              return;
            }
          }
        }
      }
    }
    for (const auto& lying : byFunction) {  // on any thread
      const std::string base = lying.first.substr(0, lying.first.find('@'));
      if (base != "WriteFile" && base != "ReadFile" && base != "CopyFileA" && base != "CopyFileW") {
        continue;
      }
      for (long k = 1; k <= lying.second; ++k) {
        if (!RunAndCheck(procedure, {fault::kShortNamed, lying.first, k})) return;
      }
    }
    for (fault::Mode lie : {fault::kLie, fault::kLieHidden}) {
      for (long k = 1; k <= deletions; ++k) {
        if (!RunAndCheck(procedure, {lie, "", k})) return;
      }
    }
    printf("%s: %ld calls of %zu functions, %ld deletions; %d runs, %zu clean-up pairs; results:",
           kProcedureNames[procedure], calls, byFunction.size(), deletions, runs_,
           cleanUps.size());
    for (const auto& outcome : outcomes_) printf(" %d x%d", outcome.first, outcome.second);
    printf("\n");
    EXPECT_EQ(notInjected_, std::vector<std::string>{}) << "planned faults not injected";
  }

  std::string target_, userMenu_, commonMenu_, download_, installer_, installerBytes_;
  HMODULE package_ = nullptr;
  PROCESS_INFORMATION app_ = {};
  int runs_ = 0;
  std::map<int32_t, int> outcomes_;
  std::map<std::string, std::string> wholeFiles_;  // the package's files after a whole install
  std::vector<std::string> notInjected_;
};

// The copy's rename answered with one error a number of times (0: always), then as the file
// system answers. Sharing violations and access denials are tried again after a pause, 20 tries
// in all; other errors are not. However it ends, no part file is left, and the earlier copy is
// replaced only by a rename that worked.
TEST_F(FaultLoops, CopyRenameRetriesSharingAndAccessErrorsAfterPauses) {
  const struct {
    DWORD error;
    long failures;
    int tries;
  } cases[] = {{ERROR_SHARING_VIOLATION, 1, 2}, {ERROR_ACCESS_DENIED, 3, 4},
               {ERROR_SHARING_VIOLATION, 19, 20}, {ERROR_ACCESS_DENIED, 20, 20},
               {ERROR_SHARING_VIOLATION, 0, 20}, {ERROR_DISK_FULL, 1, 1},
               {ERROR_PATH_NOT_FOUND, 0, 1}};
  const std::string copy = target_ + "\\TavrinSoloSetup.exe", part = copy + ".part";
  for (const auto& c : cases) {
    SCOPED_TRACE("error " + std::to_string(c.error) + " x" + std::to_string(c.failures));
    Prepare(kInstallOver);
    Put(copy, "earlier", FILE_ATTRIBUTE_NORMAL);
    int32_t result = -99;
    const Plan plan = {fault::kFailFirst, "MoveFileExA", c.failures, "", 0, c.error};
    ASSERT_TRUE(RunProcedure(kInstallOver, plan, &result));
    EXPECT_EQ(result, 0);
    Pump();
    std::string order, want = "m";  // the renames (m) and the pauses (s) in their order
    for (const fault::Effect& effect : fault::Effects()) {
      if (effect.function == "MoveFileExA" && Within(effect.path, copy)) order += "m";
      if (effect.function == "Sleep") order += "s";
    }
    for (int i = 1; i < c.tries; ++i) want += "sm";
    EXPECT_EQ(order, want);
    EXPECT_EQ(ReadWhole(copy) == installerBytes_, c.tries > c.failures && c.failures > 0);
    EXPECT_FALSE(Exists(part));
  }
}

// A part file a stopped run left, read-only (and hidden), is replaced, and so is a read-only
// earlier copy, which Windows renames nothing over; read-only folders in the product's places
// are removed, which Windows also refuses until the attribute goes (the kit answers as Windows
// does).
TEST_F(FaultLoops, ReadOnlyEntriesAreReplacedAndRemoved) {
  const std::string copy = target_ + "\\TavrinSoloSetup.exe", part = copy + ".part";
  for (DWORD attributes :
       {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}) {
    Prepare(kInstallOver);
    Put(part, "stale", attributes);
    Put(copy, "earlier", attributes);
    int32_t result = -99;
    ASSERT_TRUE(RunProcedure(kInstallOver, {fault::kCount}, &result));
    EXPECT_EQ(result, 0);
    Pump();
    EXPECT_FALSE(Exists(part)) << attributes;
    EXPECT_TRUE(ReadWhole(copy) == installerBytes_) << attributes;
    EXPECT_EQ(GetFileAttributesA(copy.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << attributes;
  }
  // A rename refused for good: the earlier copy stays as it was, read-only included.
  Prepare(kInstallOver);
  Put(copy, "earlier", FILE_ATTRIBUTE_READONLY);
  int32_t refused = -99;
  ASSERT_TRUE(RunProcedure(
      kInstallOver, {fault::kFailFirst, "MoveFileExA", 0, "", 0, ERROR_ACCESS_DENIED}, &refused));
  Pump();
  EXPECT_TRUE(ReadWhole(copy) == "earlier");
  EXPECT_NE(GetFileAttributesA(copy.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_FALSE(Exists(part));
  ASSERT_TRUE(CreateDirectoryA((userMenu_ + "\\Extras").c_str(), nullptr));
  Put(userMenu_ + "\\Extras\\notes.txt", "x", FILE_ATTRIBUTE_READONLY);
  fault::SetReadOnlyFolders({userMenu_ + "\\Extras", userMenu_, target_});
  int32_t result = -99;
  ASSERT_TRUE(RunProcedure(kRemoval, {fault::kCount}, &result));
  fault::SetReadOnlyFolders({});
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(Exists(userMenu_));
  EXPECT_FALSE(Exists(target_));
  // A read-only file in the target folder whose deletion fails once the attribute is gone stays
  // as it was, read-only included.
  Prepare(kRemoval);
  const std::string notes = target_ + "\\notes.txt";
  Put(notes, "x", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(RunProcedure(kRemoval, {fault::kFailNamed, "DeleteFileW", 2}, &refused));
  Pump();
  EXPECT_EQ(fault::InjectedWhere(), "DeleteFileW(" + notes + ") error 5");
  EXPECT_NE(GetFileAttributesA(notes.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesA(notes.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FaultLoops, InstallOnACleanMachine) { Loop(kFreshInstall); }
TEST_F(FaultLoops, InstallOverAnEarlierInstall) { Loop(kInstallOver); }
TEST_F(FaultLoops, Removal) { Loop(kRemoval); }
TEST_F(FaultLoops, RemovalWithFilesInUse) { Loop(kRemovalInUse); }

// The Start-menu, Startup and target folders through every single failure and every pair of
// failures while they are asked of the shell: each is the shell's answer, SHFOLDER's (the same
// folder), the Windows folder's fallback (the target), or nothing; never another folder.
TEST_F(FaultLoops, FoldersResolveThroughEveryPairOfFailures) {
  const std::string common = commonProgramsFolder, startup = startupFolder;
  char programFiles[1024], fallback[1024];
  ASSERT_TRUE(ProgramFilesFromWindowsDirectory(programFiles, sizeof programFiles));
  ASSERT_TRUE(ComposeTargetFolder(programFiles, fallback, sizeof fallback));
  auto resolve = [](fault::Mode mode, long k, long also) {
    systemFoldersResolved = 0;
    commonProgramsFolder[0] = '\0';
    TextCopy(startupFolder, sizeof startupFolder, "Startup");
    fault::Arm(mode, k, also);
    ResolveSystemFolders();
    const int32_t result = ResolveTargetFolder(&installerContext);
    fault::Disarm();
    return result;
  };
  ASSERT_EQ(resolve(fault::kCount, 0, 0), 0);
  const long calls = fault::Calls();
  int runs = 0, fellBack = 0, failed = 0;
  for (long k = 1; k <= calls + 6; ++k) {
    for (long also = 0; also <= calls + 6; also = also == 0 ? k + 1 : also + 1) {
      const int32_t result = resolve(fault::kFail, k, also);
      SCOPED_TRACE(fault::InjectedWhere());
      ++runs;
      EXPECT_TRUE(commonProgramsFolder == common || commonProgramsFolder[0] == '\0');
      EXPECT_TRUE(startupFolder == startup || startupFolder[0] == '\0' ||
                  strcmp(startupFolder, "Startup") == 0);
      if (result == 0) {
        const std::string target = installerContext.targetFolder;
        EXPECT_TRUE(target == target_ || target == fallback) << target;
        fellBack += target == fallback;
      } else {
        EXPECT_EQ(result, -1);
        EXPECT_STREQ(installerContext.targetFolder, "");
        ++failed;
      }
    }
  }
  printf("%ld calls, %d runs: %d fell back to the Windows folder, %d found no folder\n", calls,
         runs, fellBack, failed);
  EXPECT_GT(fellBack, 0);
  resolve(fault::kCount, 0, 0);
}

// Where the DLL search cannot be restricted (SetDefaultDllDirectories missing, failing, or
// the module not found), the later system DLLs are loaded by full path from the system folder.
TEST_F(FaultLoops, DllSearchFallsBackToLoadingFromTheSystemFolder) {
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, sizeof system), 0u);
  fault::Arm(fault::kCount, 0);
  RestrictDllSearch();
  fault::Disarm();
  const long calls = fault::Calls();
  int fellBack = 0;
  for (long k = 1; k <= calls; ++k) {
    fault::Arm(fault::kFail, k);
    RestrictDllSearch();
    fault::Disarm();
    const std::string where = fault::InjectedWhere();
    SCOPED_TRACE(where);
    std::set<std::string> loaded;
    for (const fault::Effect& effect : fault::Effects()) {
      if (effect.function == "LoadLibraryA") loaded.insert(Lower(effect.path));
    }
    if (where.compare(0, 16, "GetModuleHandleA") == 0 ||
        where.compare(0, 14, "GetProcAddress") == 0 ||
        where.compare(0, 24, "SetDefaultDllDirectories") == 0) {
      ++fellBack;
      for (const char* name : {"uxtheme.dll", "dwmapi.dll", "propsys.dll", "comctl32.dll",
                               "shfolder.dll", "version.dll", "cryptbase.dll"}) {
        EXPECT_TRUE(loaded.count(Lower(std::string(system) + "\\" + name))) << name;
      }
    } else {
      EXPECT_TRUE(loaded.empty());
    }
  }
  EXPECT_EQ(fellBack, 3);
}

}  // namespace
