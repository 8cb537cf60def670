// Shortcut files under Wine: where they land, what the operations return, and that an
// unresolved Startup folder never sends a deletion to the current folder or drive root.
// Their contents are read back with lnkinfo in tests/win/setup_shortcuts_lnkinfo.sh.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "setup/shortcuts.h"

namespace {

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Touch(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  CloseHandle(file);
}

// A fresh folder of this test's own below C:\users\Public (tests run side by side).
std::string FreshFolder(const char* name) {
  const std::string folder = std::string("C:\\users\\Public\\QuorelShortcuts-") + name;
  CreateDirectoryA(folder.c_str(), nullptr);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      DeleteFileA((folder + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return folder;
}

class Shortcuts : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(Shortcuts, LinkLandsAsNameDotLnkWithOrWithoutTrailingBackslash) {
  const std::string folder = FreshFolder("land");
  const std::string target = folder + "\\readme.txt";
  Touch(target);
  EXPECT_EQ(CreateShortcut(folder.c_str(), "Readme", target.c_str()), S_OK);
  EXPECT_TRUE(Exists(folder + "\\Readme.LNK"));
  EXPECT_EQ(CreateShortcut((folder + "\\").c_str(), "TavrinSolo", target.c_str()), S_OK);
  EXPECT_TRUE(Exists(folder + "\\TavrinSolo.LNK"));
}

TEST_F(Shortcuts, ExistingLinkIsReplacedAndMissingOneIsNotDeleted) {
  const std::string folder = FreshFolder("replace");
  const std::string link = folder + "\\Readme.LNK";
  Touch(link);  // an old file of the same name, not even a link
  EXPECT_EQ(CreateShortcut(folder.c_str(), "Readme", "C:\\windows\\notepad.exe"), S_OK);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExA(link.c_str(), GetFileExInfoStandard, &data));
  EXPECT_GT(data.nFileSizeLow, 0u);
  EXPECT_NE(DeleteShortcut(folder.c_str(), "Readme"), FALSE);
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(DeleteShortcut(folder.c_str(), "Readme"), FALSE);
}

TEST_F(Shortcuts, UnresolvedStartupFolderDeletesNothingInTheCurrentFolderOrDriveRoot) {
  const std::string work = FreshFolder("cwd");
  ASSERT_TRUE(SetCurrentDirectoryA(work.c_str()));
  CreateDirectoryA("Startup", nullptr);
  const std::string relative = work + "\\Startup\\QuorelProbe.LNK";
  const std::string rooted = "C:\\QuorelProbe.LNK";
  Touch(relative);
  Touch(rooted);
  EXPECT_EQ(DeleteShortcut("Startup", "QuorelProbe"), FALSE);
  EXPECT_EQ(DeleteShortcut("", "QuorelProbe"), FALSE);
  EXPECT_EQ(DeleteShortcut("\\", "QuorelProbe"), FALSE);
  EXPECT_TRUE(Exists(relative));
  EXPECT_TRUE(Exists(rooted));
  // The probes are deletable: the same names given absolutely go.
  EXPECT_NE(DeleteShortcut((work + "\\Startup").c_str(), "QuorelProbe"), FALSE);
  EXPECT_NE(DeleteShortcut("C:\\", "QuorelProbe"), FALSE);
  EXPECT_FALSE(Exists(relative));
  EXPECT_FALSE(Exists(rooted));
}

TEST_F(Shortcuts, RelativeOrOverlongFolderWritesNoLink) {
  const std::string work = FreshFolder("refuse");
  ASSERT_TRUE(SetCurrentDirectoryA(work.c_str()));
  EXPECT_EQ(CreateShortcut("Startup", "Readme", "C:\\windows\\notepad.exe"), E_INVALIDARG);
  EXPECT_EQ(CreateShortcut("", "Readme", "C:\\windows\\notepad.exe"), E_INVALIDARG);
  EXPECT_FALSE(Exists(work + "\\Startup\\Readme.LNK"));
  EXPECT_FALSE(Exists("C:\\Readme.LNK"));
  const std::string longFolder = "C:\\" + std::string(2040, 'f');
  EXPECT_EQ(CreateShortcut(longFolder.c_str(), "Readme", "C:\\windows\\notepad.exe"),
            E_INVALIDARG);
  EXPECT_EQ(DeleteShortcut(longFolder.c_str(), "Readme"), FALSE);
}

}  // namespace
