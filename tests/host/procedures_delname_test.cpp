// The removal's path rules: the ".del" name of a file in use (against a second, independent
// implementation), the refusal of paths that a folder removal must never walk, and their exact
// form.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>

#include "setup/delname.h"

namespace {

std::string Del(const char* path, size_t size = 1024) {
  char out[1024];
  memset(out, 'x', sizeof out);
  if (!MakeDelName(path, out, size)) return "<fail:" + std::string(out) + ">";
  return out;
}

// Reference: the name part is what follows the last backslash; only a dot in it counts.
std::string ReferenceDel(const std::string& path) {
  size_t slash = path.rfind('\\');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return path;
  return path.substr(0, dot) + ".del";
}

TEST(MakeDelName, ReplacesOnlyTheLastExtensionOfTheFileName) {
  EXPECT_EQ(Del("C:\\P\\TavrinSolo.exe"), "C:\\P\\TavrinSolo.del");
  EXPECT_EQ(Del("C:\\P\\Remote\\a.b.dll"), "C:\\P\\Remote\\a.b.del");
  EXPECT_EQ(Del("C:\\P\\Remote\\X.dll"), "C:\\P\\Remote\\X.del");
  EXPECT_EQ(Del("name.txt"), "name.del");
}

TEST(MakeDelName, DotInAFolderNameIsNotAnExtension) {
  // Scanning back stops at the backslash: the dots in "Quorel.v2" and "C:\x.y" stay alone.
  EXPECT_EQ(Del("C:\\Quorel.v2\\LICENSE"), "C:\\Quorel.v2\\LICENSE");
  EXPECT_EQ(Del("README"), "README");
  EXPECT_EQ(Del("C:\\x.y\\.hidden"), "C:\\x.y\\.del");
}

TEST(MakeDelName, LongerResultThatDoesNotFitIsRefusedNotCut) {
  // "a.b" grows by two characters; a buffer that holds the input only must fail empty.
  EXPECT_EQ(Del("C:\\a.b", 7), "<fail:>");
  EXPECT_EQ(Del("C:\\a.b", 9), "C:\\a.del");
  EXPECT_EQ(Del("C:\\abcdef", 4), "<fail:>");
  char out[16];
  EXPECT_EQ(MakeDelName(nullptr, out, sizeof out), 1);
  EXPECT_STREQ(out, "");
}

TEST(MakeDelName, AgreesWithReferenceOnRandomPaths) {
  std::mt19937 random(5);
  const char alphabet[] = "ab.\\.x";
  for (int round = 0; round < 20000; ++round) {
    std::string path;
    size_t length = random() % 12;
    for (size_t i = 0; i < length; ++i) path += alphabet[random() % (sizeof alphabet - 1)];
    ASSERT_EQ(Del(path.c_str()), ReferenceDel(path)) << "path: " << path;
  }
}

TEST(IsRemovableFolderPath, RefusesEmptyRelativeAndRootPaths) {
  const char* refused[] = {
      "",           "dir",           "dir\\sub",        "\\dir",         "C:",
      "C:dir",      "C:\\",          "C:/",             "C:\\\\",        "c:\\.",
      "C:\\..",     "C:\\x\\..",     "C:\\x\\..\\..",   "C:\\x\\.\\y",   "\\\\",
      "\\\\server", "\\\\server\\",   "\\\\server\\share", "\\\\server\\share\\",
      "\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0\\x", "\\\\\\share\\x", "1:\\x",
      "\\\\server\\\\x", "//server//x", "@:\\x", "[:\\x", "`:\\x", "{:\\x",
  };
  for (const char* path : refused) EXPECT_EQ(IsRemovableFolderPath(path, 1024), 0) << path;
  EXPECT_EQ(IsRemovableFolderPath(nullptr, 1024), 0);
}

TEST(IsRemovableFolderPath, AcceptsAbsoluteFoldersBelowARoot) {
  const char* accepted[] = {
      "C:\\Program Files\\Quorel\\Tavrin-Solo", "c:\\x", "C:\\x\\", "C:/x/y",
      "\\\\server\\share\\dir", "C:\\x\\.hidden", "C:\\x..y", "A:\\x", "Z:\\x", "a:\\x",
      "z:\\x", "//server/share/dir",
  };
  for (const char* path : accepted) EXPECT_EQ(IsRemovableFolderPath(path, 1024), 1) << path;
}

TEST(IsRemovableFolderPath, UnterminatedOrTooLongPathIsRefused) {
  char path[40];
  memcpy(path, "C:\\", 3);
  memset(path + 3, 'a', sizeof path - 3);  // no terminator within the limit
  EXPECT_EQ(IsRemovableFolderPath(path, sizeof path), 0);
  path[sizeof path - 1] = '\0';
  EXPECT_EQ(IsRemovableFolderPath(path, sizeof path), 1);
  EXPECT_EQ(IsRemovableFolderPath(path, sizeof path - 1), 0);
}

std::string Exact(const char* folder, size_t size = 1024) {
  char out[1024];
  memset(out, 'x', sizeof out);
  if (!MakeExactFolderPath(folder, out, size)) return "<fail:" + std::string(out) + ">";
  return out;
}

TEST(MakeExactFolderPath, NamesTrailingDotsAndSpacesWithSingleBackslashes) {
  EXPECT_EQ(Exact("C:\\Menu\\foo."), "\\\\?\\C:\\Menu\\foo.");
  EXPECT_EQ(Exact("C:/Menu//bar /"), "\\\\?\\C:\\Menu\\bar ");
  EXPECT_EQ(Exact("\\\\server\\share\\dir\\"), "\\\\?\\UNC\\server\\share\\dir");
  EXPECT_EQ(Exact("//server/share//dir"), "\\\\?\\UNC\\server\\share\\dir");
}

TEST(MakeExactFolderPath, RefusesWhatTheWalkRefusesAndWhatDoesNotFit) {
  for (const char* folder : {"", "dir", "C:\\", "C:\\x\\..", "C:\\x\\.\\y", "\\\\?\\C:\\x"}) {
    EXPECT_EQ(Exact(folder), "<fail:>") << folder;
  }
  EXPECT_EQ(Exact(nullptr), "<fail:>");
  // \\?\C:\ab is 9 characters: 10 bytes hold it, 9 do not.
  EXPECT_EQ(Exact("C:\\ab", 10), "\\\\?\\C:\\ab");
  EXPECT_EQ(Exact("C:\\ab", 9), "<fail:>");
}

}  // namespace
