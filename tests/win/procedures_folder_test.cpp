// Removal building blocks on real files under Wine: DeleteFolderTree (stop at a file in use, dot
// folders passed over, refused paths, names ending in a dot or a space, a file that stays after
// a "successful" deletion, every walk under a watchdog), RemovePackageFiles (".del" names,
// refused entry names), and the activity text read while the worker switches it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "setup/procedures.h"
#include "tests/win/procedures_testkit.h"

namespace {

using proctest::Clean;
using proctest::Exists;
using proctest::List;

std::string Scratch() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  return std::string(temp) + "proc-folder-" + std::to_string(GetCurrentProcessId()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

void PutFile(const std::string& path, const std::string& data = "data") {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Env(const char* name) {
  char value[MAX_PATH];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? value : "";
}

void MakeFolder(const std::string& path) { ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path; }

// Held open without sharing, so that it can be neither deleted nor opened again.
HANDLE Hold(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// DeleteFolderTree on a thread of its own: a walk that does not end within a minute ends this
// whole test program with a failure instead of hanging the suite.
struct Walk {
  std::string folder;
  int32_t result;
};

DWORD WINAPI WalkThread(void* walk) {
  static_cast<Walk*>(walk)->result = DeleteFolderTree(static_cast<Walk*>(walk)->folder.c_str());
  return 0;
}

int32_t DeleteFolderTreeWatched(const std::string& folder) {
  Walk walk = {folder, -99};
  HANDLE thread = CreateThread(nullptr, 0, WalkThread, &walk, 0, nullptr);
  if (thread == nullptr) return -98;
  if (WaitForSingleObject(thread, 60000) != WAIT_OBJECT_0) {
    fprintf(stderr, "FAIL: DeleteFolderTree(%s) did not end within 60 s\n", folder.c_str());
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  CloseHandle(thread);
  return walk.result;
}

// The exact form of a path, for names the plain form cannot give ("foo.", "bar ").
std::string Exact(const std::string& path) { return "\\\\?\\" + path; }

std::wstring Wide(const std::string& text) {
  wchar_t wide[MAX_PATH];
  return MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH) ? wide : L"";
}

// Names the ANSI code page cannot spell (Hangul under 1252 reads back as '?'), a read-only file
// (Windows and Wine delete none) and a read-only folder among them.
TEST(DeleteFolderTree, RemovesNestedFilesAndFoldersWhole) {
  std::string root = Scratch();
  MakeFolder(root);
  PutFile(root + "\\a.txt");
  PutFile(root + "\\.profile");  // a dot-named file is a file: deleted
  MakeFolder(root + "\\Remote");
  MakeFolder(root + "\\Remote\\deep");
  PutFile(root + "\\Remote\\deep\\x.dll");
  PutFile(root + "\\Remote\\y.dll");
  MakeFolder(root + "\\empty");
  const std::wstring hangul = Wide(root) + L"\\\uD55C\uAE00";
  ASSERT_TRUE(CreateDirectoryW(hangul.c_str(), nullptr));
  for (const std::wstring& file : {hangul + L"\\\uBA54\uBAA8.txt", Wide(root) + L"\\\uAC00.txt"}) {
    HANDLE made = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
  }
  SetFileAttributesA((root + "\\Remote\\y.dll").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA((root + "\\empty").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(DeleteFolderTreeWatched(root), 1);
  EXPECT_FALSE(Exists(root));
  Clean(root);
}

// The plain form drops a trailing dot or space: "foo." would be looked up as "foo", found gone,
// and searched for again for ever; "baz." would delete "baz" in its place.
TEST(DeleteFolderTree, NamesEndingInADotOrASpaceAreRemovedAndTheWalkEnds) {
  std::string root = Scratch();
  MakeFolder(root);
  for (const char* folder : {"\\foo.", "\\bar ", "\\bar \\deep. "}) MakeFolder(Exact(root + folder));
  for (const char* file : {"\\foo.\\f.txt", "\\bar \\b.txt", "\\bar \\deep. \\d", "\\baz.",
                           "\\baz"}) {
    PutFile(Exact(root + file));
  }
  ASSERT_EQ(List(root).size(), 4u);
  EXPECT_EQ(DeleteFolderTreeWatched(root), 1);
  EXPECT_FALSE(Exists(root));
  // The same named through a path that ends in a space itself: read as Win32 reads it.
  MakeFolder(root);
  MakeFolder(Exact(root + "\\foo."));
  PutFile(Exact(root + "\\foo.\\f.txt"));
  EXPECT_EQ(DeleteFolderTreeWatched(root + " "), 1);
  EXPECT_FALSE(Exists(root));
  Clean(root);
}

// The other side of the next case: holds the file named by PROC_HOLD_FILE open with delete
// sharing, makes the file PROC_HOLD_READY, and lets go when that file is gone (or after 60 s).
TEST(Child, HoldWithDeleteSharing) {
  std::string file = Env("PROC_HOLD_FILE"), ready = Env("PROC_HOLD_READY");
  if (file.empty() || ready.empty()) GTEST_SKIP() << "started by a removal test";
  HANDLE held = CreateFileA(file.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << file;
  PutFile(ready);
  for (int i = 0; i < 1200 && Exists(ready); ++i) Sleep(50);
  CloseHandle(held);
}

// Wine 8.0 reports the deletion of a file held like this as done, and the file stays.
TEST(DeleteFolderTree, FileThatStaysAfterItsDeletionEndsTheWalk) {
  std::string root = Scratch();
  MakeFolder(root);
  MakeFolder(root + "\\sub");
  PutFile(root + "\\sub\\held.txt");
  std::string ready = root + "-ready";
  SetEnvironmentVariableA("PROC_HOLD_FILE", (root + "\\sub\\held.txt").c_str());
  SetEnvironmentVariableA("PROC_HOLD_READY", ready.c_str());
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string command = std::string("\"") + self + "\" --gtest_filter=Child.HoldWithDeleteSharing";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child));
  SetEnvironmentVariableA("PROC_HOLD_FILE", nullptr);
  SetEnvironmentVariableA("PROC_HOLD_READY", nullptr);
  for (int i = 0; i < 400 && !Exists(ready); ++i) Sleep(50);
  EXPECT_TRUE(Exists(ready)) << "the holding process did not start";
  EXPECT_EQ(DeleteFolderTreeWatched(root), 1);
  EXPECT_TRUE(Exists(root + "\\sub\\held.txt"));  // the walk stopped there: sub and root stay
  DeleteFileA(ready.c_str());
  WaitForSingleObject(child.hProcess, 10000);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  Clean(root);
}

TEST(DeleteFolderTree, StopsAtTheFirstFileInUseAndKeepsEverythingAfterIt) {
  std::string root = Scratch();
  MakeFolder(root);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"}) {
    PutFile(root + "\\" + name);
  }
  std::vector<std::string> order = List(root);
  ASSERT_EQ(order.size(), 6u);
  // Hold the third in the search's order: the two before it go, it and the rest stay.
  HANDLE held = Hold(root + "\\" + order[2]);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DeleteFolderTree(root.c_str()), 1);
  EXPECT_TRUE(Exists(root));
  std::vector<std::string> expected(order.begin() + 2, order.end());
  EXPECT_EQ(List(root), expected);
  CloseHandle(held);
  Clean(root);
}

TEST(DeleteFolderTree, FileInUseInASubfolderKeepsEveryFolderAboveIt) {
  std::string root = Scratch();
  MakeFolder(root);
  MakeFolder(root + "\\Remote");
  PutFile(root + "\\Remote\\X.del");
  HANDLE held = Hold(root + "\\Remote\\X.del");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DeleteFolderTree(root.c_str()), 1);
  EXPECT_TRUE(Exists(root + "\\Remote\\X.del"));
  CloseHandle(held);
  Clean(root);
}

TEST(DeleteFolderTree, DotNamedSubfolderIsPassedOverAndKeepsTheFolder) {
  std::string root = Scratch();
  MakeFolder(root);
  MakeFolder(root + "\\.cache");
  PutFile(root + "\\.cache\\kept.bin");
  PutFile(root + "\\gone.txt");
  MakeFolder(root + "\\sub");
  PutFile(root + "\\sub\\gone.txt");
  EXPECT_EQ(DeleteFolderTree(root.c_str()), 1);
  EXPECT_EQ(List(root), std::vector<std::string>{".cache"});
  EXPECT_TRUE(Exists(root + "\\.cache\\kept.bin"));
  Clean(root);
}

TEST(DeleteFolderTree, RefusesEmptyAndRelativePaths) {
  std::string root = Scratch();
  MakeFolder(root);
  MakeFolder(root + "\\rel");
  PutFile(root + "\\rel\\kept.txt");
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
  EXPECT_EQ(DeleteFolderTree("rel"), 1);
  EXPECT_EQ(DeleteFolderTree(".\\rel"), 1);
  EXPECT_EQ(DeleteFolderTree(""), 1);
  EXPECT_EQ(DeleteFolderTree(nullptr), 1);
  // An empty folder path joined with "*.*" would search the current drive's root.
  SetCurrentDirectoryA(saved);
  EXPECT_TRUE(Exists(root + "\\rel\\kept.txt"));
  // The same folder by its absolute path is removed: the refusal is about the form only.
  EXPECT_EQ(DeleteFolderTree((root + "\\rel").c_str()), 1);
  EXPECT_FALSE(Exists(root + "\\rel"));
  Clean(root);
}

// The cases below need what only the host can make: a drive letter for a scratch folder and
// Unix symbolic links, which Wine shows as reparse points (tests/win/procedures_links.sh).
// Wine's CreateSymbolicLinkA reports success and makes nothing, and DefineDosDeviceA does not
// reach the file system.
TEST(DeleteFolderTree, RefusesADriveRoot) {
  std::string drive = Env("PROC_ROOT_DRIVE"), folder = Env("PROC_ROOT_FOLDER");
  if (drive.empty()) GTEST_SKIP() << "run by procedures_links.sh";
  ASSERT_TRUE(Exists(drive + "\\kept.txt"));  // the letter reaches the scratch folder
  EXPECT_EQ(DeleteFolderTree((drive + "\\").c_str()), 1);
  EXPECT_EQ(DeleteFolderTree((drive + "\\.").c_str()), 1);
  EXPECT_EQ(DeleteFolderTree((drive + "\\below\\..").c_str()), 1);
  EXPECT_EQ(DeleteFolderTree(drive.c_str()), 1);  // "Q:" is the current folder on Q:
  EXPECT_TRUE(Exists(folder + "\\kept.txt"));
  // Proof that the letter reaches the folder: a folder below the root is removed.
  EXPECT_EQ(DeleteFolderTree((drive + "\\below").c_str()), 1);
  EXPECT_FALSE(Exists(folder + "\\below"));
}

bool IsLink(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(DeleteFolderTree, NeverEntersALinkToAFolderOutside) {
  std::string target = Env("PROC_LINK_TARGET"), sentinel = Env("PROC_LINK_SENTINEL");
  if (target.empty()) GTEST_SKIP() << "run by procedures_links.sh";
  ASSERT_TRUE(IsLink(target + "\\a-link"));
  ASSERT_TRUE(Exists(sentinel + "\\keep.txt"));
  EXPECT_EQ(DeleteFolderTree(target.c_str()), 1);
  EXPECT_TRUE(Exists(sentinel + "\\keep.txt"));
  EXPECT_TRUE(Exists(sentinel + "\\inner\\keep2.txt"));
  // A folder that is itself a link is removed as a link at most, never emptied.
  std::string top = Env("PROC_LINK_TOP");
  ASSERT_TRUE(IsLink(top));
  EXPECT_EQ(DeleteFolderTree(top.c_str()), 1);
  EXPECT_TRUE(Exists(sentinel + "\\keep.txt"));
  EXPECT_TRUE(Exists(sentinel + "\\inner\\keep2.txt"));
}

// A directory of hand-made entries for RemovePackageFiles, in the global context.
void SetEntries(const std::vector<std::string>& names) {
  memset(&installerContext.packageDirectory, 0, sizeof installerContext.packageDirectory);
  for (size_t i = 0; i < names.size() && i < PACKAGE_ENTRY_COUNT; ++i) {
    memcpy(installerContext.packageDirectory.entries[i].entryName, names[i].data(),
           names[i].size());
  }
}

TEST(RemovePackageFiles, UndeletableFilesGetDelNamesWhereTheRenameWorks) {
  std::string root = Scratch();
  MakeFolder(root);
  MakeFolder(root + "\\Remote");
  const char* names[] = {"readme.txt", "TavrinSolo.exe", "LICENSE", "Remote\\X.dll",
                         "Remote\\Y.dll", "manual.en.pdf", "old.exe", "old.del", "held.dat"};
  for (const char* name : names) PutFile(root + "\\" + name, name);
  // Read-only files cannot be deleted but can be renamed, like a running program's executable;
  // a file held open without delete sharing can be neither.
  for (const char* name : {"TavrinSolo.exe", "LICENSE", "Remote\\X.dll", "manual.en.pdf",
                           "old.exe"}) {
    SetFileAttributesA((root + "\\" + name).c_str(), FILE_ATTRIBUTE_READONLY);
  }
  HANDLE held = Hold(root + "\\held.dat");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(TextCopy(installerContext.targetFolder, sizeof installerContext.targetFolder,
                       root.c_str()));
  SetEntries({"readme.txt", "TavrinSolo.exe", "LICENSE", "Remote\\X.dll", "Remote\\Y.dll",
              "manual.en.pdf", "old.exe", "held.dat", "missing.txt"});
  EXPECT_EQ(RemovePackageFiles(), 0);
  CloseHandle(held);
  std::set<std::string> top, remote;
  for (const std::string& n : List(root)) top.insert(n);
  for (const std::string& n : List(root + "\\Remote")) remote.insert(n);
  // Only the last extension goes; a name without one never changes; a stale old.del blocks
  // the rename of old.exe; the held file keeps its name.
  std::set<std::string> expectTop = {"Remote", "TavrinSolo.del", "LICENSE", "manual.en.del",
                                     "old.exe", "old.del", "held.dat"};
  EXPECT_EQ(top, expectTop);
  EXPECT_EQ(remote, std::set<std::string>{"X.del"});
  Clean(root);
}

TEST(RemovePackageFiles, RefusedEntryNamesNeverReachOutsideTheFolder) {
  std::string root = Scratch();
  std::string target = root + "\\target";
  MakeFolder(root);
  MakeFolder(target);
  PutFile(root + "\\outside.txt");
  PutFile(root + "\\outside2.txt");
  PutFile(target + "\\inside.txt");
  std::string absolute = root + "\\outside2.txt";
  ASSERT_TRUE(TextCopy(installerContext.targetFolder, sizeof installerContext.targetFolder,
                       target.c_str()));
  SetEntries({"..\\outside.txt", absolute, "inside.txt", "sub\\..\\..\\outside.txt"});
  EXPECT_EQ(RemovePackageFiles(), 0);
  EXPECT_TRUE(Exists(root + "\\outside.txt"));
  EXPECT_TRUE(Exists(root + "\\outside2.txt"));
  EXPECT_FALSE(Exists(target + "\\inside.txt"));
  // The same outside file named safely from the parent is deleted: the refusal is the guard.
  ASSERT_TRUE(TextCopy(installerContext.targetFolder, sizeof installerContext.targetFolder,
                       root.c_str()));
  SetEntries({"outside.txt"});
  RemovePackageFiles();
  EXPECT_FALSE(Exists(root + "\\outside.txt"));
  Clean(root);
}

TEST(RemovePackageFiles, PathThatDoesNotFitIsSkippedNotCut) {
  std::string root = Scratch();
  MakeFolder(root);
  PutFile(root + "\\a");
  // targetFolder padded with "\.\" components up to the last bytes: "a.txt" cut short to "a"
  // would delete a file the package does not name.
  // At 1021 characters a truncating join would give exactly padded + "\\a".
  std::string padded = root;
  while (padded.size() < 1021) padded += padded.size() + 2 <= 1021 ? "\\." : "\\";
  ASSERT_TRUE(TextCopy(installerContext.targetFolder, sizeof installerContext.targetFolder,
                       padded.c_str()));
  SetEntries({"a.txt"});
  EXPECT_EQ(RemovePackageFiles(), 0);
  EXPECT_TRUE(Exists(root + "\\a"));
  Clean(root);
}

}  // namespace
