// Bounded text helpers: results that do not fit are refused whole, never cut.
#include <gtest/gtest.h>

#include <string>

#include "base/path.h"
#include "base/text.h"

namespace {

TEST(TextCopy, FitsExactlyOrFailsEmpty) {
  char buf[4];
  EXPECT_EQ(TextCopy(buf, sizeof buf, "abc"), 1);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(TextCopy(buf, sizeof buf, "abcd"), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(TextCopy(buf, sizeof buf, nullptr), 1);
  EXPECT_STREQ(buf, "");
}

TEST(TextAppend, RefusesWhatDoesNotFitAndUnterminatedTargets) {
  char buf[6] = "ab";
  EXPECT_EQ(TextAppend(buf, sizeof buf, "cde"), 1);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(TextAppend(buf, sizeof buf, "f"), 0);
  EXPECT_STREQ(buf, "");
  char full[3] = {'x', 'y', 'z'};  // no terminator inside the buffer
  EXPECT_EQ(TextAppend(full, sizeof full, ""), 0);
  EXPECT_EQ(full[0], '\0');
}

TEST(JoinPath, OneBackslashBetweenFolderAndName) {
  char buf[64];
  EXPECT_EQ(JoinPath(buf, sizeof buf, "C:\\A", "b.txt"), 1);
  EXPECT_STREQ(buf, "C:\\A\\b.txt");
  EXPECT_EQ(JoinPath(buf, sizeof buf, "C:\\", "b.txt"), 1);
  EXPECT_STREQ(buf, "C:\\b.txt");
  EXPECT_EQ(JoinPath(buf, sizeof buf, buf, "c"), 1);  // in place
  EXPECT_STREQ(buf, "C:\\b.txt\\c");
}

TEST(JoinPath, PathThatWouldNotFitIsRefusedNotCut) {
  char buf[9];
  EXPECT_EQ(JoinPath(buf, sizeof buf, "C:\\abc", "d"), 1);  // 9 bytes with terminator
  EXPECT_EQ(JoinPath(buf, sizeof buf, "C:\\abc", "de"), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(JoinPath(buf, sizeof buf, "C:\\abcdefg", ""), 0);  // the separator does not fit
  EXPECT_STREQ(buf, "");
}

// No helper writes through a null or empty target; a null source or argument reads as "", and
// an unterminated in-place folder is refused.
TEST(TextHelpers, NullAndEmptyTargetsAreRefusedAndNullSourcesAreEmpty) {
  char buf[8] = "keep";
  EXPECT_EQ(TextCopy(nullptr, 8, "a"), 0);
  EXPECT_EQ(TextCopy(buf, 0, "a"), 0);
  EXPECT_EQ(TextAppend(nullptr, 8, "a"), 0);
  EXPECT_EQ(TextAppend(buf, 0, "a"), 0);
  EXPECT_EQ(JoinPath(nullptr, 8, "a", "b"), 0);
  EXPECT_EQ(JoinPath(buf, 0, "a", "b"), 0);
  EXPECT_EQ(TextFormat(nullptr, 8, "%s", "a"), 0);
  EXPECT_EQ(TextFormat(buf, 0, "%s", "a"), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(TextAppend(buf, sizeof buf, nullptr), 1);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(TextFormat(buf, sizeof buf, nullptr, "a"), 1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(TextFormat(buf, sizeof buf, "[%s]%", nullptr), 1);
  EXPECT_STREQ(buf, "[]%");
  EXPECT_EQ(EndsWithBackslash(nullptr), 0);
  EXPECT_EQ(EndsWithBackslash(""), 0);
  char unterminated[4] = {'C', ':', 'x', 'y'};
  EXPECT_EQ(JoinPath(unterminated, sizeof unterminated, unterminated, "b"), 0);
  EXPECT_EQ(unterminated[0], '\0');
  EXPECT_EQ(JoinPath(buf, sizeof buf, nullptr, "b"), 1);
  EXPECT_STREQ(buf, "\\b");
}

TEST(TextFormat, ReplacesEveryPercentS) {
  char buf[64];
  EXPECT_EQ(TextFormat(buf, sizeof buf, "%s Installation Error", "Tavrin-Solo"), 1);
  EXPECT_STREQ(buf, "Tavrin-Solo Installation Error");
  EXPECT_EQ(TextFormat(buf, sizeof buf, "a\n%s.%s 100%%", "x"), 1);
  EXPECT_STREQ(buf, "a\nx.x 100%");
  EXPECT_EQ(TextFormat(buf, 10, "%s!", "123456789"), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(TextFormat(buf, 11, "%s!", "123456789"), 1);
}

}  // namespace
