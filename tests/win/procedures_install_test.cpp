// The install and uninstall procedures under Wine, end to end: the embedded sample package, the
// real Program Files, Start menu and registry of the prefix, and a hidden window of the test that
// receives what the procedures post. Every case sets up its own starting state.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/activity.h"
#include "base/text.h"
#include "package/extract.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "setup/registry.h"
#include "setup/shortcuts.h"
#include "tests/win/import_patch.h"
#include "tests/win/procedures_testkit.h"
#include "tests/win/setup_test_reader.h"

namespace {

using proctest::Clean;
using proctest::Exists;
using proctest::MakeWindow;
using proctest::Pump;
using proctest::List;

const char kRecordKey[] =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}";
const char kSettingsKey[] = "HKCU\\Quorel\\Tavrin-Solo";
const char* const kSteps[] = {"Extract Package", "Copy Files", "Finalize Installation",
                              "Installation Completed"};
const char kWeb[] = "www.quorel-audio.example";
const std::string kCopyFailedText =
    std::string("Failed to copy file(s) to destination folder...\nInstallation package might be "
                "corrupted\nthanks to download official package at\n") + kWeb + ".";

std::set<std::string> ListSet(const std::string& folder) {
  std::vector<std::string> names = List(folder);
  return std::set<std::string>(names.begin(), names.end());
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

std::string Env(const char* name) {
  char value[2048];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? value : "";
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// What one install run showed: its result, what it posted, the activity texts seen while it
// ran (in order, changes only), and the three texts it left in the context.
struct InstallRun {
  int32_t result = -99;
  std::vector<std::pair<int, LPARAM>> messages;
  std::vector<std::string> steps;
  std::string caption, error, activity;
  int killed = -1;  // killed during extraction: 1 with the part file begun, 0 without
};

// The moment the uninstall record is first written, shown to a watcher of the file system: the
// first RegCreateKeyA or RegSetValueExA of the install creates the file PROC_CHILD_RECORD_MARK
// names, then does its work.
std::string recordMark;
decltype(&RegCreateKeyA) realCreateKey;
decltype(&RegSetValueExA) realSetValue;

void MarkRecord() {
  if (recordMark.empty()) return;
  HANDLE mark = CreateFileA(recordMark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  recordMark.clear();
}

LONG WINAPI MarkedCreateKey(HKEY root, LPCSTR subkey, PHKEY key) {
  MarkRecord();
  return realCreateKey(root, subkey, key);
}

LONG WINAPI MarkedSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size) {
  MarkRecord();
  return realSetValue(key, name, reserved, type, data, size);
}

// A kill during extraction (PROC_CHILD_KILL names the copy's part file): the child ends itself
// as a kill would when the second file is opened for writing, once the part file is as long as
// the installer (or after 5 s).
std::string killPart;
int writesOpened = 0;
decltype(&CreateFileA) realCreateFile;

uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return ~0ull;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

HANDLE WINAPI KillingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD how, DWORD flags, HANDLE from) {
  if ((access & GENERIC_WRITE) != 0 && ++writesOpened == 2) {
    const uint64_t whole = FileSize(Env("PROC_CHILD_INSTALLER"));
    for (int i = 0; i < 500 && FileSize(killPart) != whole; ++i) Sleep(10);
    Sleep(100);  // time enough for a rename that should not come yet
    printf("@@killed=%d\n", FileSize(killPart) == whole);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 9);
  }
  return realCreateFile(name, access, share, sa, how, flags, from);
}

// PROC_CHILD_SLOW_COPY: the copy reports its end half a second late, so that a failed extraction
// is over first; the install must still wait for it, or the part file outlives the process.
decltype(&CopyFileA) realCopyFile;

BOOL WINAPI SlowCopyFile(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  const BOOL copied = realCopyFile(from, to, failIfExists);
  Sleep(500);
  return copied;
}

// The child's side (Child.Install): the install as the window runs it, on a worker thread with
// COM, posting to this process's hidden window, while this thread watches the activity text.
TEST(Child, Install) {
  if (Env("PROC_CHILD_INSTALL").empty()) GTEST_SKIP() << "started by the Procedures cases";
  recordMark = Env("PROC_CHILD_RECORD_MARK");
  if (!recordMark.empty()) {
    realCreateKey = reinterpret_cast<decltype(&RegCreateKeyA)>(
        PatchImport("RegCreateKeyA", reinterpret_cast<void*>(MarkedCreateKey)));
    realSetValue = reinterpret_cast<decltype(&RegSetValueExA)>(
        PatchImport("RegSetValueExA", reinterpret_cast<void*>(MarkedSetValue)));
    ASSERT_NE(realCreateKey, nullptr);
    ASSERT_NE(realSetValue, nullptr);
  }
  if (!Env("PROC_CHILD_SLOW_COPY").empty()) {
    realCopyFile = reinterpret_cast<decltype(&CopyFileA)>(
        PatchImport("CopyFileA", reinterpret_cast<void*>(SlowCopyFile)));
  }
  killPart = Env("PROC_CHILD_KILL");
  if (!killPart.empty()) {
    realCreateFile = reinterpret_cast<decltype(&CreateFileA)>(
        PatchImport("CreateFileA", reinterpret_cast<void*>(KillingCreateFile)));
    ASSERT_NE(realCreateFile, nullptr);
  }
  InitContext(GetModuleHandleA(nullptr));
  installerContext.mainWindow = MakeWindow();
  ASSERT_TRUE(TextCopy(installerContext.installerPath, sizeof installerContext.installerPath,
                       Env("PROC_CHILD_INSTALLER").c_str()));
  if (!Env("PROC_CHILD_NO_PACKAGE").empty()) {
    installerContext.instanceHandle = GetModuleHandleA("kernel32.dll");  // holds no RCDATA 100
  }
  ResolveSystemFolders();
  WorkerRun run = {-99, 0};
  std::vector<std::string> steps;
  HANDLE worker = CreateThread(nullptr, 0, InstallWorker, &run, 0, nullptr);
  ASSERT_NE(worker, nullptr);
  for (bool done = false; !done;) {
    done = __atomic_load_n(&run.done, __ATOMIC_ACQUIRE);
    char text[1024];
    ReadActivityText(&installerContext, text, sizeof text);
    if (steps.empty() || steps.back() != text) steps.push_back(text);
  }
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  printf("@@result=%d\n", static_cast<int>(run.result));
  for (const auto& message : Pump()) {
    printf("@@message=%d,%ld\n", message.first, static_cast<long>(message.second));
  }
  for (const std::string& step : steps) printf("@@step=%s\n", step.c_str());
  printf("@@caption=%s\n", installerContext.errorCaption);
  printf("@@error=%s\n", Escape(installerContext.errorText).c_str());
  printf("@@activity=%s\n", installerContext.activityText);
  fflush(stdout);
}

// Each install runs in a fresh process of this program, as the installer does: extraction
// unscrambles the package image in place, so an image is good for one extraction per process.
InstallRun InstallInChild(const std::string& installer, bool withoutPackage = false,
                          const std::string& partToKillAt = "") {
  InstallRun run;
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  SetEnvironmentVariableA("PROC_CHILD_INSTALL", "1");
  SetEnvironmentVariableA("PROC_CHILD_INSTALLER", installer.c_str());
  SetEnvironmentVariableA("PROC_CHILD_NO_PACKAGE", withoutPackage ? "1" : nullptr);
  SetEnvironmentVariableA("PROC_CHILD_KILL", partToKillAt.empty() ? nullptr : &partToKillAt[0]);
  std::string output =
      setup_test::Run(std::string("\"") + self + "\" --gtest_filter=Child.Install");
  SetEnvironmentVariableA("PROC_CHILD_INSTALL", nullptr);
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 2, "@@") != 0) continue;
    size_t equals = line.find('=');
    std::string key = line.substr(2, equals - 2), value = line.substr(equals + 1);
    if (key == "result") run.result = atoi(value.c_str());
    if (key == "message") {
      run.messages.emplace_back(atoi(value.c_str()), atol(value.c_str() + value.find(',') + 1));
    }
    if (key == "step") run.steps.push_back(value);
    if (key == "caption") run.caption = value;
    if (key == "error") run.error = Unescape(value);
    if (key == "activity") run.activity = value;
    if (key == "killed") run.killed = atoi(value.c_str());
  }
  if (run.result == -99 && run.killed < 0) {
    ADD_FAILURE() << "the child install did not report:\n" << output;
  }
  return run;
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
    // The directory only (no extraction): the list of files the checks expect.
    ASSERT_EQ(ReadPackageDirectory(&installerContext), 0);
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

  // Leaves the prefix as the case found it: nothing installed, for the tests that come after.
  void TearDown() override {
    if (keepInstall_) return;
    Clean(target_);
    Clean(userMenu_);
    Clean(commonMenu_);
    setup_test::DeleteKey(kRecordKey);
    setup_test::DeleteKey(kSettingsKey);
  }

  // Installs in a child process; what it showed is in run_.
  int32_t Install(bool withoutPackage = false) {
    run_ = InstallInChild(installer_, withoutPackage);
    return run_.result;
  }

  std::string Path(const char* name) const { return target_ + "\\" + name; }

  // Every package file in the target folder, checked against its plainDigest with CryptoAPI.
  void ExpectPackageFiles() {
    int checked = 0;
    for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
      std::string digest(reinterpret_cast<const char*>(entry.plainDigest), 16);
      EXPECT_EQ(SystemMd5OfFile(Path(entry.entryName)), digest) << entry.entryName;
      if (checked++ == 0) {  // the comparison bites: one changed digest byte is seen
        digest[7] ^= 1;
        EXPECT_NE(SystemMd5OfFile(Path(entry.entryName)), digest);
      }
    }
    EXPECT_EQ(checked, 17);
  }

  // Names in the target folder that no package entry accounts for: the copy, or what was left
  // of making it.
  std::set<std::string> Strays() {
    std::set<std::string> names = ListSet(target_);
    for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
      std::string name = entry.entryName;
      names.erase(name.substr(0, name.find('\\')));
    }
    return names;
  }

  // After an install: back to the package files only (no links, copy or record).
  void KeepOnlyThePackageFiles() {
    Clean(userMenu_);
    Clean(commonMenu_);
    Clean(Path("TavrinSoloSetup.exe"));
    setup_test::DeleteKey(kRecordKey);
  }

  void ExpectNoInstallLeftovers() {
    EXPECT_FALSE(Exists(userMenu_));
    EXPECT_FALSE(Exists(commonMenu_));
    EXPECT_EQ(Strays(), std::set<std::string>{});
    EXPECT_FALSE(setup_test::KeyExists(kRecordKey));
  }

  std::string target_, userMenu_, commonMenu_, download_, installer_;
  char userPrograms_[1024];
  InstallRun run_;
  bool keepInstall_ = false;
};

TEST_F(Procedures, FullInstallWritesFilesLinksCopyAndRecord) {
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(run_.messages, kSucceeded);
  EXPECT_EQ(run_.caption, "Tavrin-Solo Installation Error");
  EXPECT_EQ(run_.activity, "Installation Completed");
  // The texts seen are the steps in their order (fast steps may pass unseen), ending complete.
  size_t next = 0;
  for (const std::string& step : run_.steps) {
    if (step.empty()) continue;
    while (next < 4 && step != kSteps[next]) ++next;
    EXPECT_LT(next, 4u) << "out of order or unknown: " << step;
  }
  ASSERT_FALSE(run_.steps.empty());
  EXPECT_EQ(run_.steps.back(), "Installation Completed");

  ExpectPackageFiles();
  EXPECT_EQ(Strays(), std::set<std::string>{"TavrinSoloSetup.exe"});
  std::set<std::string> links = {"Readme.LNK", "TavrinSolo.LNK"};
  for (const std::string& menu : {userMenu_, commonMenu_}) {
    EXPECT_EQ(ListSet(menu), links);
    EXPECT_EQ(proctest::LinkTarget(menu + "\\Readme.LNK"), Path("readme.txt"));
    EXPECT_EQ(proctest::LinkTarget(menu + "\\TavrinSolo.LNK"), Path("TavrinSolo.exe"));
  }
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
  EXPECT_EQ(run_.messages, kSucceeded);
  EXPECT_EQ(ListSet(target_), before);
  EXPECT_EQ(ListSet(userMenu_), links);
  EXPECT_EQ(ListSet(commonMenu_), links);
  ExpectPackageFiles();
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, copy);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "Comments").data, "kept");
}

TEST_F(Procedures, InstallWithoutPackageChangesNothing) {
  EXPECT_EQ(Install(/*withoutPackage=*/true), -1);
  EXPECT_EQ(run_.messages, kFailed);
  EXPECT_EQ(run_.caption, "Tavrin-Solo Installation Error");
  EXPECT_EQ(run_.error,
            std::string("Installation package might be corrupted\nthanks to download official "
                        "package at\n") + kWeb + ".");
  EXPECT_EQ(run_.activity, "Extract Package");
  EXPECT_FALSE(Exists(target_));
  ExpectNoInstallLeftovers();
}

TEST_F(Procedures, InstallWithAPackageFileInUseFailsBeforeLinksCopyAndRecord) {
  ASSERT_EQ(Install(), 0);
  // Back to files only: no links, copy or record, and two package files missing.
  KeepOnlyThePackageFiles();
  ASSERT_TRUE(DeleteFileA(Path("readme.txt").c_str()));
  const std::string remote = Path(installerContext.packageDirectory.entries[16].entryName);
  ASSERT_TRUE(DeleteFileA(remote.c_str()));
  RunningApp app;
  ASSERT_TRUE(app.Start(Path("TavrinSolo.exe")));
  EXPECT_EQ(Install(), -10);
  EXPECT_EQ(run_.messages, kFailed);
  EXPECT_EQ(run_.error,
            kCopyFailedText);
  EXPECT_EQ(run_.activity, "Copy Files");
  EXPECT_TRUE(Exists(Path("readme.txt")));  // the other files were still extracted
  EXPECT_TRUE(Exists(remote));
  ExpectNoInstallLeftovers();
}

// The last entry cannot be written: no Start-menu folder, link, copy (nor its part file) or
// record is made, even once readme.txt and the program are written; an earlier install's links
// are left as they were.
TEST_F(Procedures, LaterPackageFileInUseLeavesNoLinksCopyOrRecord) {
  ASSERT_EQ(Install(), 0);
  KeepOnlyThePackageFiles();
  const std::string userQuorel = userMenu_.substr(0, userMenu_.rfind('\\'));
  const std::string commonQuorel = commonMenu_.substr(0, commonMenu_.rfind('\\'));
  RemoveDirectoryA(userQuorel.c_str());
  RemoveDirectoryA(commonQuorel.c_str());
  ASSERT_FALSE(Exists(userQuorel));
  ASSERT_FALSE(Exists(commonQuorel));
  const std::string last = Path(installerContext.packageDirectory.entries[16].entryName);
  HANDLE held = CreateFileA(last.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetEnvironmentVariableA("PROC_CHILD_SLOW_COPY", "1");
  EXPECT_EQ(Install(), -10);
  SetEnvironmentVariableA("PROC_CHILD_SLOW_COPY", nullptr);
  CloseHandle(held);
  EXPECT_EQ(run_.messages, kFailed);
  EXPECT_EQ(run_.error, kCopyFailedText);
  EXPECT_TRUE(Exists(Path("readme.txt")));
  ExpectNoInstallLeftovers();
  EXPECT_FALSE(Exists(userQuorel));
  EXPECT_FALSE(Exists(commonQuorel));
  ASSERT_EQ(Install(), 0);
  Clean(Path("TavrinSoloSetup.exe"));
  setup_test::DeleteKey(kRecordKey);
  held = CreateFileA(last.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Install(), -10);
  CloseHandle(held);
  std::set<std::string> links = {"Readme.LNK", "TavrinSolo.LNK"};
  EXPECT_EQ(ListSet(userMenu_), links);
  EXPECT_EQ(ListSet(commonMenu_), links);
  EXPECT_EQ(Strays(), std::set<std::string>{});
}

// The copy takes its path only once whole, replacing a package file of the same name, and never
// harms what is at its path when it cannot be made.
TEST_F(Procedures, InstallerCopyReplacesOrKeepsWhatIsAtItsPath) {
  // Saved as TavrinSolo.exe: the copy comes after the program's file and replaces it, so the
  // record names the installer, not the application.
  std::string renamed = download_ + "\\TavrinSolo.exe";
  SetFileAttributesA(renamed.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(CopyFileA(installer_.c_str(), renamed.c_str(), FALSE));
  std::swap(installer_, renamed);
  EXPECT_EQ(Install(), 0);
  std::swap(installer_, renamed);
  EXPECT_EQ(SystemMd5OfFile(Path("TavrinSolo.exe")), SystemMd5OfFile(renamed));
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, Path("TavrinSolo.exe"));
  EXPECT_EQ(Strays(), std::set<std::string>{});
  EXPECT_EQ(ListSet(userMenu_), (std::set<std::string>{"Readme.LNK", "TavrinSolo.LNK"}));

  // Killed during extraction with the part file begun: no copy, link or record, at most the part
  // file beside the package's files; the next install replaces it.
  KeepOnlyThePackageFiles();
  const std::string part = Path("TavrinSoloSetup.exe.part");
  EXPECT_EQ(InstallInChild(installer_, false, part).killed, 1);
  EXPECT_EQ(Strays(), std::set<std::string>{"TavrinSoloSetup.exe.part"});
  EXPECT_FALSE(Exists(userMenu_));
  EXPECT_FALSE(setup_test::KeyExists(kRecordKey));
  EXPECT_EQ(Install(), 0);
  EXPECT_EQ(SystemMd5OfFile(Path("TavrinSoloSetup.exe")), SystemMd5OfFile(installer_));
  EXPECT_EQ(Strays(), std::set<std::string>{"TavrinSoloSetup.exe"});

  // An installer path that cannot be opened (a folder name the ANSI code page cannot spell
  // reads back with '?'), with an earlier copy in place: the copy fails, the earlier copy stays
  // whole and named by the record, and no part file is left.
  ASSERT_EQ(Install(), 0);
  const std::string copy = Path("TavrinSoloSetup.exe");
  const std::string before = SystemMd5OfFile(copy);
  ASSERT_NE(before, "missing");
  installer_ = download_ + "\\?\\TavrinSoloSetup.exe";
  setup_test::DeleteKey(kRecordKey);
  EXPECT_EQ(Install(), 0);
  EXPECT_EQ(SystemMd5OfFile(copy), before);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, copy);
  EXPECT_EQ(Strays(), std::set<std::string>{"TavrinSoloSetup.exe"});
}

TEST_F(Procedures, FileWhereTheTargetFolderShouldBeFailsBeforeExtraction) {
  const std::string parent = target_.substr(0, target_.rfind('\\'));
  CreateDirectoryA(parent.c_str(), nullptr);
  HANDLE file = CreateFileA(target_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  const int32_t result = Install();
  const bool stillAFile = (GetFileAttributesA(target_.c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0;
  DeleteFileA(target_.c_str());
  EXPECT_EQ(result, -3);
  EXPECT_EQ(run_.messages, kFailed);
  EXPECT_EQ(run_.error,
            std::string("Failed to create target folder on system disk\nthanks to download "
                        "official package at\n") + kWeb + ".");
  EXPECT_EQ(run_.activity, "Copy Files");
  EXPECT_TRUE(stillAFile);
  ExpectNoInstallLeftovers();
}

TEST_F(Procedures, InstallerStartedFromTheTargetFolderKeepsItselfAndTheRecord) {
  ASSERT_EQ(Install(), 0);
  // The installer path names the copy in the target folder, as when the uninstaller is started
  // and installs again: copying onto itself fails silently and must not harm the file; the
  // record still names it.
  installer_ = Path("TavrinSoloSetup.exe");
  std::string before = SystemMd5OfFile(installer_);
  setup_test::DeleteKey(kRecordKey);
  EXPECT_EQ(Install(), 0);
  EXPECT_EQ(run_.messages, kSucceeded);
  EXPECT_EQ(SystemMd5OfFile(installer_), before);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, installer_);
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "DisplayIcon").data, installer_);
  // Started from a folder named as the target folder but for a soft hyphen (0xAD in code page
  // 1252), which the user's language rules pass over and the file system does not: another
  // file, so the copy is made.
  const size_t cut = target_.size() - 2;
  const std::string twin = target_.substr(0, cut) + "\xAD" + target_.substr(cut);
  ASSERT_TRUE(CreateDirectoryA(twin.c_str(), nullptr));
  installer_ = twin + "\\TavrinSoloSetup.exe";
  ASSERT_TRUE(MoveFileA(Path("TavrinSoloSetup.exe").c_str(), installer_.c_str()));
  EXPECT_EQ(Install(), 0);
  EXPECT_EQ(SystemMd5OfFile(Path("TavrinSoloSetup.exe")), before);
  DeleteFileA(installer_.c_str());
  RemoveDirectoryA(twin.c_str());
}

// An earlier copy that another program holds open cannot be replaced; the failed copy must not
// delete it either (it is shared for deletion, so a delete would succeed).
TEST_F(Procedures, CopyInUseByAnotherProgramIsKept) {
  ASSERT_EQ(Install(), 0);
  const std::string copy = Path("TavrinSoloSetup.exe");
  HANDLE held = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const int32_t result = Install();
  CloseHandle(held);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(SystemMd5OfFile(copy), SystemMd5OfFile(installer_));
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data, copy);
}

TEST_F(Procedures, NoUserProgramsValueMakesTheAllUsersLinksOnly) {
  std::string saved = setup_test::QueryValue("HKCU\\" SHELL_FOLDERS_KEY, "Programs").data;
  setup_test::Run("reg delete \"HKCU\\" SHELL_FOLDERS_KEY "\" /v Programs /f");
  int32_t result = Install();
  setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", saved);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(run_.messages, kSucceeded);
  EXPECT_FALSE(Exists(userMenu_));
  EXPECT_EQ(ListSet(commonMenu_), (std::set<std::string>{"Readme.LNK", "TavrinSolo.LNK"}));
}

// A relative value would put the menu folder below the current folder, where no removal finds
// it: install and removal both treat it as absent.
TEST_F(Procedures, RelativeUserProgramsValueCountsAsAbsent) {
  std::string saved = setup_test::QueryValue("HKCU\\" SHELL_FOLDERS_KEY, "Programs").data;
  ASSERT_FALSE(saved.empty());
  // The folder the values name exists below the current folder, so that making the menu folder
  // below it would work.
  std::string current = download_ + "\\current";
  CreateDirectoryA(current.c_str(), nullptr);
  CreateDirectoryA((current + "\\Menu").c_str(), nullptr);
  char before[MAX_PATH];
  GetCurrentDirectoryA(sizeof before, before);
  SetCurrentDirectoryA(current.c_str());  // the child install starts here too
  std::set<std::string> left[3];
  int32_t results[3] = {-99, -99, -99};
  int i = 0;
  for (const char* value : {"Menu", "C:Menu", ".\\Menu"}) {
    setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", value);
    results[i] = Install();
    if (results[i] == 0) results[i] = UninstallProcedure();
    left[i++] = ListSet(current + "\\Menu");
  }
  SetCurrentDirectoryA(before);
  setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", saved);
  EXPECT_EQ(setup_test::QueryValue("HKCU\\" SHELL_FOLDERS_KEY, "Programs").data, saved);
  Clean(current);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(results[k], 0);
    EXPECT_TRUE(left[k].empty()) << *left[k].begin();
  }
  EXPECT_FALSE(Exists(userMenu_));
  EXPECT_FALSE(Exists(commonMenu_));
  EXPECT_FALSE(Exists(target_));
}

// An absolute value with "." and ".." components names the folder Windows resolves it to: the
// links are made there and the removal takes them away, also links an earlier build made below
// the value as it stands.
TEST_F(Procedures, UserProgramsValueWithDotsIsUsedAsResolved) {
  const std::string saved = userPrograms_;
  const std::string last = saved.substr(saved.rfind('\\') + 1);
  const std::string dotted = saved + "\\.\\..\\" + last;
  const std::set<std::string> links = {"Readme.LNK", "TavrinSolo.LNK"};
  std::string slashed = saved;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  // Every form Windows accepts names the same folder, at install and at removal.
  for (const std::string& form : {dotted, slashed, "\\\\?\\" + saved, "\\\\.\\" + saved}) {
    setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", form);
    ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
    EXPECT_EQ(Install(), 0) << form;
    EXPECT_EQ(ListSet(userMenu_), links) << form;
    EXPECT_EQ(UninstallProcedure(), 0) << form;
    EXPECT_FALSE(Exists(userMenu_)) << form;
  }
  setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", dotted);
  // An earlier build's install: the links saved below the unresolved folder.
  ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
  ASSERT_EQ(Install(), 0);
  Clean(userMenu_);
  const std::string earlierMenu = dotted + "\\Quorel\\Tavrin-Solo";
  CoInitialize(nullptr);
  CreateFolderPath(earlierMenu.c_str());
  CreateShortcut(earlierMenu.c_str(), "Readme", Path("readme.txt").c_str());
  CreateShortcut(earlierMenu.c_str(), "TavrinSolo", Path("TavrinSolo.exe").c_str());
  CoUninitialize();
  const std::set<std::string> earlier = ListSet(userMenu_);
  const int32_t removedEarlier = UninstallProcedure();
  setup_test::AddString("HKCU\\" SHELL_FOLDERS_KEY, "Programs", saved);
  EXPECT_EQ(earlier, links);
  EXPECT_EQ(removedEarlier, 0);
  EXPECT_FALSE(Exists(userMenu_));
  EXPECT_FALSE(Exists(commonMenu_));
  EXPECT_FALSE(Exists(target_));
}

// Run by procedures_order.sh: nothing installed, and every folder the install writes in made
// beforehand, so that a watcher of the file system sees every file created in them; prints the
// paths and the package's entries for the script.
TEST_F(Procedures, FoldersLaidOutForTheOrderScript) {
  if (Env("PROC_ORDER_LAYOUT").empty()) GTEST_SKIP() << "run by procedures_order.sh";
  keepInstall_ = true;
  for (const std::string& folder : {userMenu_, commonMenu_, target_}) {
    ASSERT_EQ(CreateFolderPath(folder.c_str()), 1) << folder;
  }
  for (const PackageEntry& entry : installerContext.packageDirectory.entries) {
    const std::string name = entry.entryName;
    if (name.find('\\') != std::string::npos) {
      CreateDirectoryA(Path(name.substr(0, name.rfind('\\')).c_str()).c_str(), nullptr);
    }
    printf("entry=%s\n", entry.entryName);
  }
  printf("target=%s\nuser=%s\ncommon=%s\ninstaller=%s\n", target_.c_str(), userMenu_.c_str(),
         commonMenu_.c_str(), installer_.c_str());
}

// Run by procedures_full_disk.sh with a small file system mounted as Program Files\Quorel.
TEST_F(Procedures, InstallOnAFullDiskFailsBeforeLinksCopyAndRecord) {
  if (Env("PROC_FULL_DISK") != "package") GTEST_SKIP() << "run by procedures_full_disk.sh";
  EXPECT_EQ(Install(), -10);
  EXPECT_EQ(run_.messages, kFailed);
  EXPECT_EQ(run_.error,
            kCopyFailedText);
  EXPECT_TRUE(Exists(target_));
  ExpectNoInstallLeftovers();
}

// Room for the package's files but not for the installer copy: the install succeeds, the copy
// fails half-way and leaves nothing behind, and the record names the copy as it always does.
TEST_F(Procedures, CopyOnAFullDiskLeavesNoPartialCopy) {
  if (Env("PROC_FULL_DISK") != "copy") GTEST_SKIP() << "run by procedures_full_disk.sh";
  EXPECT_EQ(Install(), 0);
  EXPECT_EQ(run_.messages, kSucceeded);
  ExpectPackageFiles();
  EXPECT_EQ(Strays(), std::set<std::string>{});
  EXPECT_EQ(ListSet(commonMenu_), (std::set<std::string>{"Readme.LNK", "TavrinSolo.LNK"}));
  EXPECT_EQ(setup_test::QueryValue(kRecordKey, "UninstallString").data,
            Path("TavrinSoloSetup.exe"));
}

class Removal : public Procedures {
 protected:
  void SetUp() override {
    Procedures::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Install(), 0);
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
  ASSERT_TRUE(Exists(Path("TavrinSolo.del")));
  RunningApp again;
  ASSERT_TRUE(again.Start(Path("TavrinSolo.exe")));
  EXPECT_EQ(UninstallProcedure(), 0);
  // (Without the stale name the rename works, as above.) The stale TavrinSolo.del itself is no
  // longer in use, so the folder walk deletes it if the search returns it first.
  EXPECT_TRUE(Exists(Path("TavrinSolo.exe")));
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
  keepInstall_ = true;
  ASSERT_EQ(Install(), 0);
  printf("target=%s\nuser=%s\ncommon=%s\n", target_.c_str(), userMenu_.c_str(),
         commonMenu_.c_str());
}

}  // namespace
