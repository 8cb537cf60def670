// Registry records against Wine's real registry, read back with reg.exe: the uninstall record,
// the application's tray settings, the user's "Programs" folder, and tree deletion.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "setup/registry.h"
#include "tests/win/setup_test_reader.h"

namespace {

using setup_test::AddKey;
using setup_test::AddString;
using setup_test::DeleteKey;
using setup_test::KeyExists;
using setup_test::QueryValue;

const std::string kRecord = std::string("HKLM\\") + UNINSTALL_RECORD_KEY;
const std::string kSettings = std::string("HKCU\\") + APP_SETTINGS_KEY;

void WriteRecord(const char* installedCopy) {
  SetMachineString(UNINSTALL_RECORD_KEY, "Tavrin-Solo, Tavrin Solo Cueboard", "DisplayName");
  SetMachineString(UNINSTALL_RECORD_KEY, "Quorel Software", "Publisher");
  SetMachineString(UNINSTALL_RECORD_KEY, installedCopy, "UninstallString");
  SetMachineString(UNINSTALL_RECORD_KEY, installedCopy, "DisplayIcon");
}

void ExpectString(const std::string& key, const char* name, const std::string& data) {
  const setup_test::RegValue value = QueryValue(key, name);
  EXPECT_TRUE(value.found) << name;
  EXPECT_EQ(value.type, "REG_SZ") << name;
  EXPECT_EQ(value.data, data) << name;
}

TEST(UninstallRecord, FourStringsLandInAFreshKeyWithColonSpaceAndBraces) {
  DeleteKey(kRecord);
  ASSERT_FALSE(KeyExists(kRecord));
  const char* copy = "C:\\Program Files (x86)\\Quorel\\Tavrin-Solo\\TavrinSoloSetup.exe";
  WriteRecord(copy);
  ExpectString(kRecord, "DisplayName", "Tavrin-Solo, Tavrin Solo Cueboard");
  ExpectString(kRecord, "Publisher", "Quorel Software");
  ExpectString(kRecord, "UninstallString", copy);
  ExpectString(kRecord, "DisplayIcon", copy);
  // The reader tells a value that was never written from one that was.
  EXPECT_FALSE(QueryValue(kRecord, "DisplayVersion").found);
  // The key name is whole: no key was made at the colon or the space.
  EXPECT_FALSE(KeyExists(std::string("HKLM\\") + UNINSTALL_ROOT_KEY + "\\Quorel"));
  DeleteKey(kRecord);
}

TEST(UninstallRecord, RewritingReplacesTheFourValuesAndKeepsAnother) {
  DeleteKey(kRecord);
  AddString(kRecord, "Comments", "kept");
  AddString(kRecord, "DisplayName", "old name");
  WriteRecord("C:\\new\\TavrinSoloSetup.exe");
  ExpectString(kRecord, "DisplayName", "Tavrin-Solo, Tavrin Solo Cueboard");
  ExpectString(kRecord, "UninstallString", "C:\\new\\TavrinSoloSetup.exe");
  ExpectString(kRecord, "Comments", "kept");
  DeleteKey(kRecord);
}

TEST(ClearAppSetting, CreatesTheMissingSettingsKeyWithTwoZeroDwords) {
  DeleteKey("HKCU\\Quorel");
  ASSERT_FALSE(KeyExists(kSettings));
  EXPECT_EQ(ClearAppSetting("SysTray"), 1);
  EXPECT_EQ(ClearAppSetting("SysTrayShowOnRun"), 1);
  for (const char* name : {"SysTray", "SysTrayShowOnRun"}) {
    const setup_test::RegValue value = QueryValue(kSettings, name);
    EXPECT_TRUE(value.found) << name;
    EXPECT_EQ(value.type, "REG_DWORD") << name;
    EXPECT_EQ(value.data, "0x0") << name;
  }
  // Directly under the hive, not under Software.
  EXPECT_FALSE(KeyExists("HKCU\\Software\\Quorel\\Tavrin-Solo"));
}

TEST(ClearAppSetting, ZeroesASetValueAndKeepsTheOthers) {
  DeleteKey("HKCU\\Quorel");
  setup_test::Run("reg add \"" + kSettings + "\" /v SysTray /t REG_DWORD /d 1 /f /reg:32");
  AddString(kSettings, "Skin", "dark");
  ASSERT_EQ(QueryValue(kSettings, "SysTray").data, "0x1");
  EXPECT_EQ(ClearAppSetting("SysTray"), 1);
  EXPECT_EQ(QueryValue(kSettings, "SysTray").data, "0x0");
  EXPECT_EQ(QueryValue(kSettings, "Skin").data, "dark");
  DeleteKey("HKCU\\Quorel");
}

// Sets the user's "Programs" shell folder for one test and puts the prefix's own value back.
class ProgramsFolderValue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SHELL_FOLDERS_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            &key_), ERROR_SUCCESS);
    DWORD size = sizeof saved_;
    hadValue_ = RegQueryValueExA(key_, "Programs", nullptr, &savedType_, saved_, &size) ==
                ERROR_SUCCESS;
    savedSize_ = size;
  }
  void TearDown() override {
    if (hadValue_) {
      RegSetValueExA(key_, "Programs", 0, savedType_, saved_, savedSize_);
    } else {
      RegDeleteValueA(key_, "Programs");
    }
    RegCloseKey(key_);
  }
  void Set(DWORD type, const std::string& data, DWORD size) {
    ASSERT_EQ(RegSetValueExA(key_, "Programs", 0, type,
                             reinterpret_cast<const BYTE*>(data.c_str()), size), ERROR_SUCCESS);
  }
  void Set(DWORD type, const std::string& data) {
    Set(type, data, static_cast<DWORD>(data.size() + 1));
  }

  HKEY key_ = nullptr;
  bool hadValue_ = false;
  DWORD savedType_ = 0;
  DWORD savedSize_ = 0;
  BYTE saved_[4096] = {};
};

// The caller's 1024-byte buffer with guard bytes after it, as in the procedures' frames.
struct GuardedBuffer {
  char out[1024];
  char guard[64];
};

TEST_F(ProgramsFolderValue, AcceptsPlainStringsOnly) {
  char out[1024];
  Set(REG_SZ, "C:\\users\\u\\Start Menu\\Programs");
  ASSERT_EQ(ReadUserProgramsFolder(out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\users\\u\\Start Menu\\Programs");
  // Reads what reg.exe reads.
  EXPECT_EQ(QueryValue("HKCU\\" SHELL_FOLDERS_KEY, "Programs").data, out);
  Set(REG_EXPAND_SZ, "%USERPROFILE%\\Start Menu\\Programs");
  EXPECT_EQ(ReadUserProgramsFolder(out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  // A folder that is not absolute (relative, drive-relative, root-relative, empty) counts as
  // absent; an absolute one with "." and ".." components is read as Windows resolves it.
  for (const char* folder :
       {"Start Menu\\Programs", "C:Programs", "\\Programs", "", ".\\Programs"}) {
    Set(REG_SZ, folder);
    EXPECT_EQ(ReadUserProgramsFolder(out, sizeof out), 0) << folder;
    EXPECT_STREQ(out, "");
  }
  Set(REG_SZ, "C:\\users\\.\\u\\..\\Programs");
  EXPECT_EQ(ReadUserProgramsFolder(out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\users\\Programs");
  RegDeleteValueA(key_, "Programs");
  EXPECT_EQ(ReadUserProgramsFolder(out, sizeof out), 0);
}

TEST_F(ProgramsFolderValue, OverlongValueFailsWithoutWritingPastTheBuffer) {
  GuardedBuffer buffer;
  memset(&buffer, 'g', sizeof buffer);
  Set(REG_SZ, "C:\\" + std::string(1021, 'p'));  // 1024 characters: no room for the zero
  EXPECT_EQ(ReadUserProgramsFolder(buffer.out, sizeof buffer.out), 0);
  EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(sizeof buffer.guard, 'g'));
  Set(REG_SZ, "C:\\" + std::string(1020, 'p'));  // 1023 characters fit
  EXPECT_EQ(ReadUserProgramsFolder(buffer.out, sizeof buffer.out), 1);
  EXPECT_EQ(strlen(buffer.out), 1023u);
  EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(sizeof buffer.guard, 'g'));
}

TEST_F(ProgramsFolderValue, UnterminatedStringIsTerminated) {
  GuardedBuffer buffer;
  memset(&buffer, 'g', sizeof buffer);
  const std::string folder = "C:\\Unterminated\\Programs";
  Set(REG_SZ, folder, static_cast<DWORD>(folder.size()));  // stored without its zero
  ASSERT_EQ(ReadUserProgramsFolder(buffer.out, sizeof buffer.out), 1);
  EXPECT_EQ(std::string(buffer.out), folder);
}

TEST(DeleteRegistryTree, MissingKeyFailsAndChangesNothing) {
  DeleteKey("HKCU\\Software\\QuorelTreeTest");
  AddString("HKCU\\Software\\QuorelTreeTest\\Sibling", "v", "kept");
  EXPECT_EQ(DeleteRegistryTree(HKEY_CURRENT_USER, "Software\\QuorelTreeTest\\Missing"), 0);
  EXPECT_EQ(QueryValue("HKCU\\Software\\QuorelTreeTest\\Sibling", "v").data, "kept");
  DeleteKey("HKCU\\Software\\QuorelTreeTest");
}

TEST(DeleteRegistryTree, RemovesTwoLevelsOfSubkeysAndTheKeyButNotItsParent) {
  const std::string base = "HKCU\\Software\\QuorelTreeTest";
  DeleteKey(base);
  // b1 and b<soft hyphen>1 are two keys, though the user's language rules see one name.
  for (const char* sub : {"\\Tree\\a\\a1", "\\Tree\\a\\a2", "\\Tree\\b\\b1", "\\Tree\\b\\b\xAD" "1",
                          "\\Tree\\c"}) {
    AddString(base + sub, "v", "x");
  }
  AddString(base + "\\Tree", "top", "x");
  AddString(base, "parent", "kept");
  ASSERT_TRUE(KeyExists(base + "\\Tree\\b\\b1"));
  EXPECT_EQ(DeleteRegistryTree(HKEY_CURRENT_USER, "Software\\QuorelTreeTest\\Tree"), 1);
  EXPECT_FALSE(KeyExists(base + "\\Tree"));
  EXPECT_EQ(QueryValue(base, "parent").data, "kept");
  DeleteKey(base);
}

TEST(DeleteRegistryTree, RemovesTheUninstallRecordInTheProgramsView) {
  DeleteKey(kRecord);
  WriteRecord("C:\\x\\TavrinSoloSetup.exe");
  AddKey(kRecord + "\\Sub\\Deeper");
  ASSERT_TRUE(KeyExists(kRecord));
  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY), 1);
  EXPECT_FALSE(KeyExists(kRecord));
  EXPECT_TRUE(KeyExists(std::string("HKLM\\") + UNINSTALL_ROOT_KEY));
}

}  // namespace
