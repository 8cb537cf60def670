// The entry-name check: every kind of name that could leave the target folder or reach a device
// is refused, and the names a real package uses pass.
#include <gtest/gtest.h>

#include <string>

#include "package/entryname.h"

namespace {

int Check(const std::string& name) { return IsSafeEntryName(name.c_str(), 128); }

TEST(IsSafeEntryName, AcceptsPlainRelativePaths) {
  for (const char* name : {"TavrinSolo.exe", "readme.txt", "Remote\\MidiPedal.dll",
                           "Codec\\Notices\\LICENSE.txt", "a", ".hidden", "name with spaces.txt",
                           "CONSOLE.txt", "COM10", "LPT0.txt", "COMx", "con2", "x.CON", "a..b",
                           "COM\xb0", "LPT\xb4.txt", "COM\xb9\xb9", "CON\xb9"}) {
    EXPECT_EQ(Check(name), 1) << name;
  }
}

TEST(IsSafeEntryName, RefusesNamesThatLeaveTheTargetFolder) {
  for (const char* name : {"", "..", ".", "..\\x", "a\\..\\..\\x", "a\\.\\b", "\\x", "x\\",
                           "a\\\\b", "C:\\x", "C:x", "c:", "\\\\server\\share\\x", "a/b",
                           "../x", "x:stream"}) {
    EXPECT_EQ(Check(name), 0) << name;
  }
}

TEST(IsSafeEntryName, RefusesDevicesTrailingDotsSpacesAndForbiddenCharacters) {
  for (const char* name : {"CON", "prn", "Aux", "NUL", "nul.txt", "COM1", "com9.dll", "LPT1",
                           "lpt9.x.y", "Remote\\CON", "NUL .txt", "x.", "x ", "Remote.\\x",
                           "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\tb", "a\nb",
                           "a\x7f" "b", "a\x01", "COM\xb9", "com\xb2.txt", "LPT\xb3",
                           "lpt\xb9.log", "Remote\\COM\xb3 .x"}) {
    EXPECT_EQ(Check(name), 0) << name;
  }
}

TEST(IsSafeEntryName, NameMustEndWithinItsField) {
  std::string full(128, 'a');
  EXPECT_EQ(IsSafeEntryName(full.c_str(), 128), 0);
  EXPECT_EQ(IsSafeEntryName(full.c_str(), 129), 1);  // the string's own terminator is at 128
  EXPECT_EQ(IsSafeEntryName(std::string(127, 'a').c_str(), 128), 1);
  EXPECT_EQ(IsSafeEntryName(nullptr, 128), 0);
}

}  // namespace
