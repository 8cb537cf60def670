// The install and uninstall procedures under Wine, end to end: the embedded sample package, the
// real Program Files, Start menu and registry of the prefix, and a hidden window of the test that
// receives what the procedures post. Every case sets up its own starting state.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/text.h"
#include "package/extract.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "setup/registry.h"
#include "tests/win/setup_test_reader.h"

namespace {

const char kRecordKey[] =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}";
const char kSettingsKey[] = "HKCU\\Quorel\\Tavrin-Solo";
const char* const kSteps[] = {"Extract Package", "Copy Files", "Finalize Installation",
                              "Installation Completed"};
const char kWeb[] = "www.quorel-audio.example";

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
      names.push_back(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

std::set<std::string> ListSet(const std::string& folder) {
  std::vector<std::string> names = List(folder);
  return std::set<std::string>(names.begin(), names.end());
}

// Removes a tree for the test's own set-up, without the code under test. Links are removed as
// links (or left), never entered.
void Clean(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  for (const std::string& name : List(path)) Clean(path + "\\" + name);
  RemoveDirectoryA(path.c_str());
}

// MD5 through the system's CryptoAPI: a digest the installer's own MD5 has no part in.
std::string SystemMd5OfFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "missing";
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  CryptCreateHash(provider, CALG_MD5, 0, 0, &hash);
  std::vector<BYTE> buffer(1 << 16);
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got) {
    CryptHashData(hash, buffer.data(), got, 0);
  }
  CloseHandle(file);
  BYTE digest[16];
  DWORD size = sizeof digest;
  CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return std::string(reinterpret_cast<char*>(digest), 16);
}

// The hidden window the procedures post to; it keeps every WM_COMMAND it is sent.
std::vector<std::pair<int, LPARAM>> received;

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) received.emplace_back(LOWORD(wParam), lParam);
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow() {
  static HWND window = nullptr;
  if (window != nullptr) return window;
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = RecordingWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "ProceduresTestWindow";
  RegisterClassA(&windowClass);
  window = CreateWindowExA(0, windowClass.lpszClassName, "procedures test", WS_OVERLAPPEDWINDOW, 0,
                           0, 100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  return window;
}

// Dispatches what has been posted to the window and returns the WM_COMMANDs received.
std::vector<std::pair<int, LPARAM>> Pump() {
  MSG message;
  while (PeekMessageA(&message, MakeWindow(), 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  std::vector<std::pair<int, LPARAM>> got;
  got.swap(received);
  return got;
}

const std::vector<std::pair<int, LPARAM>> kSucceeded = {{ID_RESULT, RESULT_SUCCEEDED}};
const std::vector<std::pair<int, LPARAM>> kFailed = {{ID_RESULT, RESULT_FAILED}};

struct WorkerRun {
  int32_t result;
  LONG done;
};

DWORD WINAPI InstallWorker(void* parameter) {
  WorkerRun* run = static_cast<WorkerRun*>(parameter);
  CoInitialize(nullptr);
  run->result = InstallProcedure(&installerContext);
  CoUninitialize();
  __atomic_store_n(&run->done, 1, __ATOMIC_RELEASE);
  return 0;
}

// A running copy of the sample application, which keeps its executable in use.
struct RunningApp {
  PROCESS_INFORMATION process = {};
  bool Start(const std::string& exe) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return false;
    }
    WaitForInputIdle(process.hProcess, 10000);
    return true;
  }
  ~RunningApp() {
    if (process.hProcess == nullptr) return;
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
};

class Procedures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ResolveSystemFolders();
    // The per-user "Programs" value is the shell's own folder; a fresh prefix may not list it.
    char programs[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs) == S_OK) {
      setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", programs);
    }
  }

  void SetUp() override {
    InitContext(GetModuleHandleA(nullptr));
    installerContext.mainWindow = MakeWindow();
    Pump();
    ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
    target_ = installerContext.targetFolder;
    ASSERT_EQ(ReadUserProgramsFolder(userPrograms_, sizeof userPrograms_), 1);
    userMenu_ = std::string(userPrograms_) + "\\Quorel\\Tavrin-Solo";
    commonMenu_ = std::string(commonProgramsFolder) + "\\Quorel\\Tavrin-Solo";
    ASSERT_NE(commonProgramsFolder[0], '\0');
    // Nothing installed: no target folder, no Start-menu folders, no record, no settings.
    Clean(target_);
    Clean(userMenu_);
    Clean(commonMenu_);
    setup_test::DeleteKey(kRecordKey);
    setup_test::DeleteKey(kSettingsKey);
    ASSERT_FALSE(Exists(target_ + "\\readme.txt"));
    // The installer as downloaded: read-only and hidden, which the copy must not keep.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    download_ = std::string(temp) + "proc-download";
    CreateDirectoryA(download_.c_str(), nullptr);
    installer_ = download_ + "\\TavrinSoloSetup.exe";
    SetFileAttributesA(installer_.c_str(), FILE_ATTRIBUTE_NORMAL);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_TRUE(CopyFileA(self, installer_.c_str(), FALSE));
    SetFileAttributesA(installer_.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(TextCopy(installerContext.installerPath, sizeof installerContext.installerPath,
                         installer_.c_str()));
  }

  // Runs the install on a worker thread, as the window does, while this thread watches the
  // activity text. Returns the result; the changes seen are in steps_.
  int32_t Install() {
    WorkerRun run = {-99, 0};
    steps_.clear();
    HANDLE worker = CreateThread(nullptr, 0, InstallWorker, &run, 0, nullptr);
    if (worker == nullptr) return -99;
    while (!__atomic_load_n(&run.done, __ATOMIC_ACQUIRE)) {
      char text[1024];
      ReadActivityText(&installerContext, text, sizeof text);
      if (steps_.empty() || steps_.back() != text) steps_.push_back(text);
    }
    char text[1024];
    ReadActivityText(&installerContext, text, sizeof text);
    if (steps_.empty() || steps_.back() != text) steps_.push_back(text);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return run.result;
  }

  std::string Path(const char* name) const { return target_ + "\\" + name; }

  // Every package file in the target folder, checked against its plainDigest with CryptoAPI.
  void ExpectPackageFiles() {
    int checked = 0;
    for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
      std::string digest(reinterpret_cast<const char*>(entry.plainDigest), 16);
      EXPECT_EQ(SystemMd5OfFile(Path(entry.entryName)), digest) << entry.entryName;
      ++checked;
    }
    EXPECT_EQ(checked, 17);
  }

  void ExpectNoInstallLeftovers() {
    EXPECT_FALSE(Exists(userMenu_));
    EXPECT_FALSE(Exists(commonMenu_));
    EXPECT_FALSE(Exists(Path("TavrinSoloSetup.exe")));
    EXPECT_FALSE(setup_test::KeyExists(kRecordKey));
  }

  std::string target_, userMenu_, commonMenu_, download_, installer_;
  char userPrograms_[1024];
  std::vector<std::string> steps_;
};

TEST_F(Procedures, FullInstallWritesFilesLinksCopyAndRecord) {
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(Pump(), kSucceeded);
  EXPECT_STREQ(installerContext.errorCaption, "Tavrin-Solo Installation Error");
  EXPECT_STREQ(installerContext.activityText, "Installation Completed");
  // The texts seen are the steps in their order (fast steps may pass unseen), ending complete.
  size_t next = 0;
  for (const std::string& step : steps_) {
    if (step.empty()) continue;
    while (next < 4 && step != kSteps[next]) ++next;
    EXPECT_LT(next, 4u) << "out of order or unknown: " << step;
  }
  EXPECT_EQ(steps_.back(), "Installation Completed");

  ExpectPackageFiles();
  std::set<std::string> links = {"Readme.LNK", "TavrinSolo.LNK"};
  EXPECT_EQ(ListSet(userMenu_), links);
  EXPECT_EQ(ListSet(commonMenu_), links);
  std::string copy = Path("TavrinSoloSetup.exe");
  DWORD attributes = GetFileAttributesA(copy.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
  EXPECT_EQ(SystemMd5OfFile(copy), SystemMd5OfFile(installer_));
  // The record as reg.exe reads it.
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "DisplayName").data,
            "Tavrin-Solo, Tavrin Solo Cueboard");
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "Publisher").data, "Quorel Software");
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, copy);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "DisplayIcon").data, copy);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "DisplayIcon").type, "REG_SZ");

  // Installing again replaces everything without duplicating anything.
  std::set<std::string> before = ListSet(target_);
  setup_test::AddString(kRecordKey, "Comments", "kept");
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(Pump(), kSucceeded);
  EXPECT_EQ(ListSet(target_), before);
  EXPECT_EQ(ListSet(userMenu_), links);
  EXPECT_EQ(ListSet(commonMenu_), links);
  ExpectPackageFiles();
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, copy);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "Comments").data, "kept");
}

TEST_F(Procedures, InstallWithoutPackageChangesNothing) {
  installerContext.instanceHandle = GetModuleHandleA("kernel32.dll");  // holds no RCDATA 100
  EXPECT_EQ(Install(), -1);
  EXPECT_EQ(Pump(), kFailed);
  EXPECT_STREQ(installerContext.errorCaption, "Tavrin-Solo Installation Error");
  EXPECT_EQ(std::string(installerContext.errorText),
            std::string("Installation package might be corrupted\nthanks to download official "
                        "package at\n") + kWeb + ".");
  EXPECT_STREQ(installerContext.activityText, "Extract Package");
  EXPECT_FALSE(Exists(target_));
  ExpectNoInstallLeftovers();
}

TEST_F(Procedures, InstallWithAPackageFileInUseFailsBeforeLinksCopyAndRecord) {
  ASSERT_EQ(Install(), 0);
  Pump();
  // Back to files only: no links, copy or record, and two package files missing.
  Clean(userMenu_);
  Clean(commonMenu_);
  Clean(Path("TavrinSoloSetup.exe"));
  setup_test::DeleteKey(kRecordKey);
  ASSERT_TRUE(DeleteFileA(Path("readme.txt").c_str()));
  const std::string remote = Path(installerContext.packageDirectory.entries[16].entryName);
  ASSERT_TRUE(DeleteFileA(remote.c_str()));
  RunningApp app;
  ASSERT_TRUE(app.Start(Path("TavrinSolo.exe")));
  EXPECT_EQ(Install(), -10);
  EXPECT_EQ(Pump(), kFailed);
  EXPECT_EQ(std::string(installerContext.errorText),
            std::string("Failed to copy file(s) to destination folder...\nInstallation package "
                        "might be corrupted\nthanks to download official package at\n") +
                kWeb + ".");
  EXPECT_STREQ(installerContext.activityText, "Copy Files");
  EXPECT_TRUE(Exists(Path("readme.txt")));  // the other files were still extracted
  EXPECT_TRUE(Exists(remote));
  ExpectNoInstallLeftovers();
}

// Run by procedures_full_disk.sh with a small file system mounted as Program Files\Quorel.
TEST_F(Procedures, InstallOnAFullDiskFailsBeforeLinksCopyAndRecord) {
  if (GetEnvironmentVariableA("PROC_FULL_DISK", nullptr, 0) == 0) {
    GTEST_SKIP() << "run by procedures_full_disk.sh";
  }
  EXPECT_EQ(Install(), -10);
  EXPECT_EQ(Pump(), kFailed);
  EXPECT_EQ(std::string(installerContext.errorText),
            std::string("Failed to copy file(s) to destination folder...\nInstallation package "
                        "might be corrupted\nthanks to download official package at\n") +
                kWeb + ".");
  EXPECT_TRUE(Exists(target_));
  ExpectNoInstallLeftovers();
}

class Removal : public Procedures {
 protected:
  void SetUp() override {
    Procedures::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Install(), 0);
    Pump();
    ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
  }

  std::string Parent(const std::string& folder) const {
    return folder.substr(0, folder.rfind('\\'));
  }

  void ExpectSettingsCleared() {
    for (const char* name : {"SysTray", "SysTrayShowOnRun"}) {
      setup_test::RegValue value = setup_test::QueryValue(kSettingsKey, name);
      EXPECT_TRUE(value.found) << name;
      EXPECT_EQ(value.type, "REG_DWORD") << name;
      EXPECT_EQ(value.data, "0x0") << name;
    }
  }

  // Everything but the target folder (and what the case keeps in it) is gone.
  void ExpectShellAndRegistryRemoved() {
    EXPECT_FALSE(Exists(userMenu_));
    EXPECT_FALSE(Exists(commonMenu_));
    EXPECT_TRUE(Exists(Parent(userMenu_)));  // the "Quorel" parents stay
    EXPECT_TRUE(Exists(Parent(commonMenu_)));
    EXPECT_TRUE(Exists(Parent(target_)));
    EXPECT_FALSE(setup_test::KeyExists(kRecordKey));
    ExpectSettingsCleared();
    EXPECT_STREQ(installerContext.targetFolder, "");
  }
};

TEST_F(Removal, FullRemovalLeavesEmptyParentsAndClearedSettings) {
  // Extras that go with the folders: a file and a folder beside the links, the Startup link.
  CreateDirectoryA((userMenu_ + "\\More").c_str(), nullptr);
  HANDLE extra = CreateFileA((userMenu_ + "\\More\\notes.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
  CloseHandle(extra);
  extra = CreateFileA((commonMenu_ + "\\Website.url").c_str(), GENERIC_WRITE, 0, nullptr,
                      CREATE_ALWAYS, 0, nullptr);
  CloseHandle(extra);
  std::string startupLink = std::string(startupFolder) + "\\Tavrin-Solo (Quorel).LNK";
  CreateDirectoryA(startupFolder, nullptr);
  extra = CreateFileA(startupLink.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(extra, INVALID_HANDLE_VALUE);
  CloseHandle(extra);

  EXPECT_EQ(UninstallProcedure(), 0);
  EXPECT_TRUE(Pump().empty());  // success posts nothing
  EXPECT_STREQ(installerContext.errorCaption, "Tavrin-Solo Uninstallation Error");
  EXPECT_FALSE(Exists(target_));
  EXPECT_FALSE(Exists(startupLink));
  ExpectShellAndRegistryRemoved();
  EXPECT_TRUE(ListSet(Parent(target_)).empty());

  // Run again over nothing: still 0, and the settings key is made again.
  setup_test::DeleteKey(kSettingsKey);
  EXPECT_EQ(UninstallProcedure(), 0);
  EXPECT_TRUE(Pump().empty());
  ExpectSettingsCleared();
}

TEST_F(Removal, RunningApplicationKeepsItsExecutableAsDel) {
  {
    RunningApp app;
    ASSERT_TRUE(app.Start(Path("TavrinSolo.exe")));
    EXPECT_EQ(UninstallProcedure(), 0);
    EXPECT_TRUE(Pump().empty());
    EXPECT_FALSE(Exists(Path("TavrinSolo.exe")));
    EXPECT_TRUE(Exists(Path("TavrinSolo.del")));
    for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
      if (strcmp(entry.entryName, "TavrinSolo.exe") != 0) {
        EXPECT_FALSE(Exists(Path(entry.entryName))) << entry.entryName;
      }
    }
    // The folder walk stopped at the renamed executable: it is the first entry the search
    // returns, and only entries after it can be left.
    std::vector<std::string> left = List(target_);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.front(), "TavrinSolo.del");
    ExpectShellAndRegistryRemoved();
  }
  // A stale TavrinSolo.del, and the executable in use again: the rename fails, the name stays.
  ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
  ASSERT_EQ(Install(), 0);
  Pump();
  ASSERT_TRUE(Exists(Path("TavrinSolo.del")));
  RunningApp again;
  ASSERT_TRUE(again.Start(Path("TavrinSolo.exe")));
  EXPECT_EQ(UninstallProcedure(), 0);
  EXPECT_TRUE(Exists(Path("TavrinSolo.exe")));
  EXPECT_TRUE(Exists(Path("TavrinSolo.del")));
  EXPECT_FALSE(Exists(Path("readme.txt")));
}

TEST_F(Removal, DotNamedSubfolderKeepsTheTargetFolder) {
  ASSERT_TRUE(CreateDirectoryA(Path(".settings").c_str(), nullptr));
  HANDLE kept = CreateFileA(Path(".settings\\user.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  CloseHandle(kept);
  EXPECT_EQ(UninstallProcedure(), 0);
  EXPECT_EQ(List(target_), std::vector<std::string>{".settings"});
  EXPECT_TRUE(Exists(Path(".settings\\user.ini")));
  ExpectShellAndRegistryRemoved();
}

TEST_F(Removal, RemovalWithoutPackageRemovesNothing) {
  std::set<std::string> before = ListSet(target_);
  installerContext.instanceHandle = GetModuleHandleA("kernel32.dll");
  EXPECT_EQ(UninstallProcedure(), -1);
  EXPECT_EQ(Pump(), kFailed);
  EXPECT_STREQ(installerContext.errorCaption, "Tavrin-Solo Uninstallation Error");
  EXPECT_EQ(std::string(installerContext.errorText),
            std::string("Uninstallation package might be corrupted\nthanks to download official "
                        "package at\n") + kWeb + ".");
  EXPECT_EQ(ListSet(target_), before);
  EXPECT_EQ(ListSet(userMenu_).size(), 2u);
  EXPECT_EQ(ListSet(commonMenu_).size(), 2u);
  EXPECT_TRUE(setup_test::KeyExists(kRecordKey));
  EXPECT_FALSE(setup_test::KeyExists(kSettingsKey));
}

// Run by procedures_install_host.sh after it has made a link to a sentinel folder outside in
// the target folder: the removal must leave the sentinel whole.
TEST_F(Removal, LinkInTheTargetFolderIsNeverFollowed) {
  char sentinel[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("PROC_LINK_SENTINEL", sentinel, sizeof sentinel);
  if (n == 0 || n >= sizeof sentinel) GTEST_SKIP() << "run by procedures_install_host.sh";
  DWORD link = GetFileAttributesA(Path("a-link").c_str());
  ASSERT_NE(link, INVALID_FILE_ATTRIBUTES);
  ASSERT_NE(link & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(UninstallProcedure(), 0);
  EXPECT_TRUE(Exists(std::string(sentinel) + "\\keep.txt"));
  EXPECT_TRUE(Exists(std::string(sentinel) + "\\inner\\keep2.txt"));
}

// Run by procedures_install_host.sh: installs and leaves the result for lnkinfo and reg.exe.
TEST_F(Procedures, InstallLeftForTheHostTools) {
  if (GetEnvironmentVariableA("PROC_LEAVE_INSTALL", nullptr, 0) == 0) {
    GTEST_SKIP() << "run by procedures_install_host.sh";
  }
  ASSERT_EQ(Install(), 0);
  printf("target=%s\nuser=%s\ncommon=%s\n", target_.c_str(), userMenu_.c_str(),
         commonMenu_.c_str());
}

}  // namespace
