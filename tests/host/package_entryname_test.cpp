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

namespace {

// Each refused name reports the rule it breaks (packtool's messages name it); the rule is the
// first one met reading from the name's start.
TEST(EntryNameProblem, NamesTheRuleBroken) {
  const struct {
    const char* name;
    int rule;
  } cases[] = {{"TavrinSolo.exe", NAME_RULE_KEPT}, {"", NAME_RULE_EMPTY},
               {"a/b", NAME_RULE_FORWARD_SLASH}, {"../x", NAME_RULE_FORWARD_SLASH},
               {"C:\\x", NAME_RULE_COLON}, {"x:stream", NAME_RULE_COLON},
               {"\\x", NAME_RULE_EMPTY_COMPONENT}, {"a\\\\b", NAME_RULE_EMPTY_COMPONENT},
               {"x\\", NAME_RULE_EMPTY_COMPONENT}, {"..\\x", NAME_RULE_DOT_COMPONENT},
               {"a\\.\\b", NAME_RULE_DOT_COMPONENT}, {"x.", NAME_RULE_TRAILING_DOT_SPACE},
               {"x ", NAME_RULE_TRAILING_DOT_SPACE}, {"a?b", NAME_RULE_CHARACTER},
               {"a\tb", NAME_RULE_CHARACTER}, {"CON", NAME_RULE_DEVICE},
               {"Remote\\lpt1.log", NAME_RULE_DEVICE}, {"COM\xb2", NAME_RULE_DEVICE}};
  for (const auto& c : cases) EXPECT_EQ(EntryNameProblem(c.name, 128), c.rule) << c.name;
  EXPECT_EQ(EntryNameProblem(std::string(128, 'a').c_str(), 128), NAME_RULE_TOO_LONG);
  EXPECT_EQ(EntryNameProblem(nullptr, 128), NAME_RULE_EMPTY);
}

}  // namespace
