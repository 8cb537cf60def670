// Path rules of the setup folders: root cutting, the Program Files fallback, the target folder,
// link paths and the copy of the "Programs" registry string.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "base/path.h"
#include "package/folder.h"
#include "setup/delname.h"
#include "setup/paths.h"

namespace {

std::string Root(const std::string& path) {
  char buffer[256];
  snprintf(buffer, sizeof buffer, "%s", path.c_str());
  PathToRoot(buffer);
  return buffer;
}

// The rule said differently: the scanned part ends with the first backslash (past index 2 when
// the path begins with one); it is kept when it holds a colon or the path begins with two
// backslashes.
std::string ReferenceRoot(const std::string& path) {
  if (path.empty()) return path;
  const bool leading = path[0] == '\\';
  size_t stop = leading ? path.find('\\', 3) : path.find('\\');
  std::string scanned = stop == std::string::npos ? path : path.substr(0, stop + 1);
  bool root = scanned.find(':') != std::string::npos || (leading && path.size() > 1 && path[1] == '\\');
  return root ? scanned : std::string();
}

TEST(PathToRoot, CutsDriveAndServerPathsAndEmptiesRootlessOnes) {
  EXPECT_EQ(Root("C:\\WINDOWS"), "C:\\");
  EXPECT_EQ(Root("C:"), "C:");
  EXPECT_EQ(Root("\\\\server\\share\\dir"), "\\\\server\\");
  EXPECT_EQ(Root("WINDOWS"), "");
  EXPECT_EQ(Root("\\dir\\sub"), "");
  EXPECT_EQ(Root(""), "");
  EXPECT_EQ(Root("D:\\a\\b\\c"), "D:\\");
}

TEST(PathToRoot, AgreesWithASecondImplementationOnRandomPaths) {
  // The reference bites: a scan that keeps going past the stop mark would differ here.
  EXPECT_NE(ReferenceRoot("C:\\WINDOWS"), "C:\\WINDOWS");
  std::mt19937 random(4);
  const char alphabet[] = {'C', ':', '\\', 'a'};
  for (int i = 0; i < 20000; ++i) {
    std::string path;
    const int length = static_cast<int>(random() % 9);
    for (int k = 0; k < length; ++k) path += alphabet[random() % 4];
    ASSERT_EQ(Root(path), ReferenceRoot(path)) << "path " << path;
  }
}

std::string Fallback(const char* windowsDir, size_t reportedLength) {
  char dir[256];
  char out[256];
  snprintf(dir, sizeof dir, "%s", windowsDir);
  if (!ProgramFilesFallback(dir, reportedLength, out, sizeof out)) return "(failed)";
  return out;
}

TEST(ProgramFilesFallback, BothBranchesGiveOneBackslashBetweenRootAndFolder) {
  EXPECT_EQ(Fallback("C:\\WINDOWS", 10), "C:\\Program Files\\");
  // The call's length differs from the string it stored: the root "C:".
  EXPECT_EQ(Fallback("D:\\WINDOWS", 42), "C:\\Program Files\\");
  EXPECT_EQ(Fallback("D:\\WINNT", 8), "D:\\Program Files\\");
  EXPECT_EQ(Fallback("\\\\server\\share\\dir", 18), "\\\\server\\Program Files\\");
  EXPECT_EQ(Fallback("C:", 2), "C:\\Program Files\\");
}

TEST(ProgramFilesFallback, RootlessWindowsDirectoryNeverGivesADriveRelativePath) {
  EXPECT_EQ(Fallback("WINDOWS", 7), "C:\\Program Files\\");
  EXPECT_EQ(Fallback("\\dir\\sub", 8), "C:\\Program Files\\");
  EXPECT_EQ(Fallback("", 0), "C:\\Program Files\\");
}

TEST(ProgramFilesFallback, TooSmallOutputFailsEmpty) {
  char dir[] = "C:\\WINDOWS";
  char out[17];  // "C:\Program Files\" needs 18 bytes
  memset(out, 'x', sizeof out);
  EXPECT_EQ(ProgramFilesFallback(dir, 10, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  char fits[18];
  EXPECT_EQ(ProgramFilesFallback(dir, 10, fits, sizeof fits), 1);
  EXPECT_STREQ(fits, "C:\\Program Files\\");
}

TEST(ComposeTargetFolder, JoinsWithOneBackslashAndRefusesEmptyOrOverlong) {
  char out[64];
  ASSERT_EQ(ComposeTargetFolder("C:\\Program Files", out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\Program Files\\Quorel\\Tavrin-Solo");
  ASSERT_EQ(ComposeTargetFolder("C:\\Program Files\\", out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\Program Files\\Quorel\\Tavrin-Solo");
  // An empty Program Files would give the root-relative \Quorel\Tavrin-Solo.
  EXPECT_EQ(ComposeTargetFolder("", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  std::string longFolder(1010, 'a');  // 1013 + 19 characters do not fit 1024
  longFolder = "C:\\" + longFolder;
  char target[1024];
  EXPECT_EQ(ComposeTargetFolder(longFolder.c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "");
}

TEST(ComposeLinkPath, TrailingBackslashGivesTheSameLinkAndOverlongFails) {
  char a[64];
  char b[64];
  ASSERT_EQ(ComposeLinkPath("C:\\Menu\\Quorel\\Tavrin-Solo", "Readme", a, sizeof a), 1);
  ASSERT_EQ(ComposeLinkPath("C:\\Menu\\Quorel\\Tavrin-Solo\\", "Readme", b, sizeof b), 1);
  EXPECT_STREQ(a, "C:\\Menu\\Quorel\\Tavrin-Solo\\Readme.LNK");
  EXPECT_STREQ(a, b);
  // "C:\M\Readme.LNK" is 15 characters: 16 bytes fit, 15 do not and leave nothing behind.
  char exact[16];
  EXPECT_EQ(ComposeLinkPath("C:\\M", "Readme", exact, sizeof exact), 1);
  char shorter[15];
  memset(shorter, 'x', sizeof shorter);
  EXPECT_EQ(ComposeLinkPath("C:\\M", "Readme", shorter, sizeof shorter), 0);
  EXPECT_STREQ(shorter, "");
}

TEST(WorkingFolderOf, CutsAtTheLastBackslashOrKeepsABareName) {
  char out[64];
  ASSERT_EQ(WorkingFolderOf("C:\\Program Files\\Quorel\\Tavrin-Solo\\readme.txt", out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\Program Files\\Quorel\\Tavrin-Solo");
  ASSERT_EQ(WorkingFolderOf("readme.txt", out, sizeof out), 1);
  EXPECT_STREQ(out, "readme.txt");
  char tiny[4];
  EXPECT_EQ(WorkingFolderOf("C:\\x\\y", tiny, sizeof tiny), 0);
}

// The drive letters at both ends of each case, the characters just outside them, and network
// paths missing a server or a share.
TEST(IsAbsoluteFolder, RefusesUnresolvedStartupAndRelativeForms) {
  EXPECT_EQ(IsAbsoluteFolder(nullptr), 0);
  for (const char* folder : {"Startup", "", "\\Startup", "C:Startup", "\\\\", "@:\\x", "[:\\x",
                             "`:\\x", "{:\\x", "C:/x", "\\\\server\\\\x", "\\\\\\share\\x",
                             "\\\\server", "\\\\server\\", "\\\\?\\C:\\x", "\\\\.\\C:\\x",
                             "//server/share"}) {
    EXPECT_EQ(IsAbsoluteFolder(folder), 0) << folder;
  }
  for (const char* folder : {"C:\\", "A:\\x", "Z:\\x", "a:\\x", "z:\\x",
                             "c:\\users\\x\\Start Menu\\Programs\\Startup", "\\\\server\\share",
                             "\\\\server\\share\\dir"}) {
    EXPECT_EQ(IsAbsoluteFolder(folder), 1) << folder;
  }
}

std::string Form(const std::string& folder) {
  char o[64];
  snprintf(o, sizeof o, "%s", folder.c_str());
  return NormalizeFolderForm(o) ? o : "!";
}

// "\\?\" and "\\.\" in either slash, and "UNC" in every letter case.
TEST(NormalizeFolderForm, DevicePrefixesGoInEveryFormAndLetterCase) {
  for (const char* prefix : {"\\\\?\\", "\\\\.\\", "//?/", "//./", "\\/.\\"}) {
    const std::string p = prefix;
    EXPECT_EQ(Form(p + "C:\\x"), "C:\\x") << p;
    EXPECT_EQ(Form(p + "z:/x/y"), "z:\\x\\y") << p;
    for (int letters = 0; letters < 8; ++letters) {
      std::string unc = "UNC";
      for (int i = 0; i < 3; ++i) unc[i] = static_cast<char>(unc[i] | ((letters >> i & 1) << 5));
      EXPECT_EQ(Form(p + unc + "/srv\\share"), "\\\\srv\\share") << p << unc;
    }
    for (const char* rest : {"", "UNC\\", "UNCx\\srv\\share", "UN\\srv\\share", "PhysicalDrive0"}) {
      EXPECT_EQ(Form(p + rest), "!") << p << rest;
    }
  }
  EXPECT_EQ(Form("\\\\?C:\\x"), "!");  // no separator after the mark
}

TEST(IsPlainAbsoluteFolder, RefusesRelativeFoldersAndDotComponents) {
  for (const char* folder : {"Programs", "Start Menu\\Programs", "C:Programs", "\\Programs", "",
                             "C:\\x\\..", "C:\\..\\Programs", "C:\\x\\.\\Programs", "\\\\s\\.."}) {
    EXPECT_EQ(IsPlainAbsoluteFolder(folder), 0) << folder;
  }
  for (const char* folder : {"C:\\", "C:\\users\\u\\Programs", "C:\\x\\.menu", "C:\\x..\\y",
                             "\\\\server\\share"}) {
    EXPECT_EQ(IsPlainAbsoluteFolder(folder), 1) << folder;
  }
}

TEST(CopyRegistryString, BoundsTheCopyToTheCallersBuffer) {
  // 1023 characters and the terminator fill a 1024-byte buffer; 1024 characters do not.
  std::string fits(1023, 'p');
  std::string tooLong(1024, 'p');
  char out[1024];
  char guard[8] = "guard";
  EXPECT_EQ(CopyRegistryString(fits.c_str(), fits.size() + 1, out, sizeof out), 1);
  EXPECT_EQ(std::string(out), fits);
  EXPECT_EQ(CopyRegistryString(tooLong.c_str(), tooLong.size() + 1, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_STREQ(guard, "guard");
}

TEST(CopyRegistryString, TerminatesUnterminatedDataAndStopsAtTheFirstZero) {
  const char unterminated[5] = {'C', ':', '\\', 'P', 'x'};
  char out[16];
  ASSERT_EQ(CopyRegistryString(unterminated, 4, out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\P");
  // Four bytes of data need five with the terminator.
  char four[4];
  EXPECT_EQ(CopyRegistryString(unterminated, 4, four, sizeof four), 0);
  const char embedded[] = "C:\\A\0rest";
  ASSERT_EQ(CopyRegistryString(embedded, sizeof embedded, out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\A");
  EXPECT_EQ(CopyRegistryString("", 1, out, sizeof out), 0);
  EXPECT_EQ(CopyRegistryString("x", 0, out, sizeof out), 0);
}

}  // namespace

namespace {

// Every split and join steps by character in the code page in force: on 932 and 936 a
// character's second byte may be a backslash (ソ 83 5C, 表 95 5C, 十 8F 5C; 誠 D5 5C), which
// must neither end a folder nor count as a separator already there.
#define SO "\x83\\"
#define HYO "\x95\\"
#define JU "\x8F\\"
#define SEI "\xD5\\"
std::string ByCharacter(const std::string& op, const char* p) {
  char o[64];
  if (op == "join") return JoinPath(o, sizeof o, p, "Q") ? o : "!";
  if (op == "name") return PathFileName(p);
  if (op == "folder") return WorkingFolderOf(p, o, sizeof o) ? o : "!";
  if (op == "del") return MakeDelName(p, o, sizeof o) ? o : "!";
  if (op == "exact") return MakeExactFolderPath(p, o, sizeof o) ? o : "!";
  if (op == "root") return Root(p);
  if (op == "plain") return IsPlainAbsoluteFolder(p) ? "1" : "0";
  if (op == "form") {
    snprintf(o, sizeof o, "%s", p);
    return NormalizeFolderForm(o) ? o : "!";
  }
  std::string made;  // walk
  auto note = [](void* u, const char* f) { return *(std::string*)u += std::string(f) + "|", 1; };
  WalkFolderPath(p, note, &made);
  return made;
}

TEST(PathsByCharacter, DoubleByteCodePagesNeverSplitACharacter) {
  const unsigned char cp932[] = {0x81, 0x9F, 0xE0, 0xFC}, cp936[] = {0x81, 0xFE};
  struct Case {
    const unsigned char* table;
    size_t pairs;
    const char* op;
    const char* in;
    const char* want;
  } cases[] = {
      {cp932, 2, "join", "C:\\" SO HYO, "C:\\" SO HYO "\\Q"},
      {cp932, 2, "join", "C:\\\x83", "!"},  // a lead byte cut off: no join could be right
      {cp932, 2, "name", "C:\\dl\\" HYO "Setup.exe", HYO "Setup.exe"},
      {cp932, 2, "name", "C:\\dl\\" SO ".exe", SO ".exe"},
      {cp932, 2, "folder", "C:\\" SO "\\" HYO ".txt", "C:\\" SO},
      {cp932, 2, "del", "C:\\" SO "\\" SO, "C:\\" SO "\\" SO},
      {cp932, 2, "del", "C:\\a.b\\" SO ".exe", "C:\\a.b\\" SO ".del"},
      {cp932, 2, "exact", "C:\\users\\" JU "\\Start Menu", "\\\\?\\C:\\users\\" JU "\\Start Menu"},
      {cp932, 2, "root", "\\\\" SO "\\share\\dir", "\\\\" SO "\\"},
      {cp932, 2, "form", "C:/" SO "/x", "C:\\" SO "\\x"},
      {cp932, 2, "form", "\\\\?\\C:\\" SO, "C:\\" SO},
      {cp932, 2, "form", "\\\\?\\unc\\srv\\" SO, "\\\\srv\\" SO},
      {cp932, 2, "form", SO "x", "!"},
      {cp932, 2, "plain", "C:\\" SO "..\\x", "1"},
      {cp932, 2, "walk", "C:\\" SO "\\" HYO "\\x",
       "C:\\" SO "|C:\\" SO "\\" HYO "|C:\\" SO "\\" HYO "\\x|"},
      {cp936, 1, "join", "C:\\" SEI, "C:\\" SEI "\\Q"},
      {cp936, 1, "name", "D:\\" SEI "Setup.exe", SEI "Setup.exe"},
      {cp936, 1, "walk", "C:\\u\\\xB3\xC2" SEI "\\M",
       "C:\\u|C:\\u\\\xB3\xC2" SEI "|C:\\u\\\xB3\xC2" SEI "\\M|"},
      {nullptr, 0, "join", "C:\\" HYO, "C:\\" HYO "Q"},  // single-byte: 5C is a backslash
  };
  for (const Case& c : cases) {
    SetPathLeadBytes(c.table, c.pairs);
    EXPECT_EQ(ByCharacter(c.op, c.in), c.want) << c.op << " of " << c.in;
  }
  // The first and last byte of every lead-byte range leads (in 932 9F 5C is 歃, FC 5C is 彁);
  // the bytes just outside the ranges do not, and their 5C is a separator.
  struct Edges {
    const unsigned char* table;
    size_t pairs;
    std::vector<unsigned char> lead, single;
  } edges[] = {{cp932, 2, {0x81, 0x9F, 0xE0, 0xFC}, {0x80, 0xA0, 0xDF, 0xFD}},
               {cp936, 1, {0x81, 0xFE}, {0x80, 0xFF}}};
  for (const Edges& e : edges) {
    SetPathLeadBytes(e.table, e.pairs);
    for (int lead = 0; lead < 2; ++lead) {
      for (unsigned char b : lead ? e.lead : e.single) {
        const std::string name = std::string(1, static_cast<char>(b)) + "\\Setup.exe";
        EXPECT_EQ(ByCharacter("name", ("C:\\dl\\" + name).c_str()), lead ? name : "Setup.exe");
      }
    }
  }
  SetPathLeadBytes(nullptr, 0);
}

}  // namespace
