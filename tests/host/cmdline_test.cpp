// Command-line parsing: each option needs its own hyphen; flags are only ever set.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "base/cmdline.h"

namespace {

struct Flags {
  int h, i, u;
  bool operator==(const Flags& o) const { return h == o.h && i == o.i && u == o.u; }
};

Flags Parse(const char* line) {
  hiddenMode = installRequested = uninstallRequested = 0;
  ParseCommandLine(line);
  return Flags{hiddenMode, installRequested, uninstallRequested};
}

TEST(ParseCommandLine, NothingIsSetByEmptyNullOrOneCharacterLines) {
  EXPECT_EQ(Parse(nullptr), (Flags{0, 0, 0}));
  EXPECT_EQ(Parse(""), (Flags{0, 0, 0}));
  EXPECT_EQ(Parse("-"), (Flags{0, 0, 0}));
  EXPECT_EQ(Parse("i"), (Flags{0, 0, 0}));
}

TEST(ParseCommandLine, EachOptionNeedsItsOwnHyphen) {
  EXPECT_EQ(Parse("-H -I"), (Flags{1, 1, 0}));
  EXPECT_EQ(Parse("-h-i"), (Flags{1, 1, 0}));
  EXPECT_EQ(Parse("-hi"), (Flags{1, 0, 0}));
  EXPECT_EQ(Parse("--i"), (Flags{0, 0, 0}));
  EXPECT_EQ(Parse("---i"), (Flags{0, 1, 0}));  // the third hyphen starts a new option
  EXPECT_EQ(Parse("-install"), (Flags{0, 1, 0}));
  EXPECT_EQ(Parse("-uninstall"), (Flags{0, 0, 1}));
  EXPECT_EQ(Parse("-x -U"), (Flags{0, 0, 1}));
  EXPECT_EQ(Parse("-i -"), (Flags{0, 1, 0}));  // a trailing hyphen ends the scan
}

TEST(ParseCommandLine, HyphenInsideAFolderNameCountsAsAnOption) {
  EXPECT_EQ(Parse("C:\\tools\\my-utils\\x"), (Flags{0, 0, 1}));
}

TEST(ParseCommandLine, FlagsAreOnlyEverSet) {
  Parse("-h");
  ParseCommandLine("-i -i");
  ParseCommandLine("no options");
  EXPECT_EQ(hiddenMode, 1);
  EXPECT_EQ(installRequested, 1);
  EXPECT_EQ(uninstallRequested, 0);
}

TEST(ParseCommandLine, LongLinesAreReadOnlyToTheirTerminator) {
  // A heap block of exactly the string's size: any read past the terminator is caught by ASan.
  std::string line(1 << 20, 'x');
  line[(1 << 20) - 2] = '-';
  line[(1 << 20) - 1] = 'u';
  char* exact = new char[line.size() + 1];
  memcpy(exact, line.c_str(), line.size() + 1);
  EXPECT_EQ(Parse(exact), (Flags{0, 0, 1}));
  exact[line.size() - 1] = '\0';  // now it ends in a lone hyphen
  EXPECT_EQ(Parse(exact), (Flags{0, 0, 0}));
  delete[] exact;
}

// Quoted names may hold blanks; bytes from 0x80 up (Ł in 1250, a double-byte character's lead)
// belong to an unquoted name, whose hyphens are no options.
TEST(SkipProgramName, OptionsStartAfterTheNameAndItsBlanks) {
  const char* const cases[][2] = {
      {"", ""}, {"setup.exe", ""}, {"setup.exe -u", "-u"}, {"\"C:\\a b\\s.exe\"\t \t-h -i", "-h -i"},
      {"a\"b c\"d -u", "-u"}, {"\"a b -u", ""}, {"C:\\\xA3\xF3" "dz\\s-u.exe -i", "-i"},
      {"\xFF-u", ""}, {"\" \" -i", "-i"}, {"s.exe\x01-i", "-i"}};
  for (const auto& c : cases) EXPECT_STREQ(SkipProgramName(c[0]), c[1]) << c[0];
}

}  // namespace
