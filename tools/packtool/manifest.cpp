// The manifest reader: a line at a time through a fixed buffer, then the names.
#include "tools/packtool/manifest.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "base/packagedir.h"
#include "base/product.h"
#include "package/entryname.h"

namespace {

// The blanks around names and sources and before a comment's '#': one set for every rule, so a
// tab counts wherever a space does. A CR before the line's end (CRLF lines) is one too.
const char kBlanks[] = " \t\r\v\f";

bool IsBlank(char c) { return c != '\0' && strchr(kBlanks, c) != nullptr; }

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(kBlanks), b = s.find_last_not_of(kBlanks);
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

const char* RuleText(int rule) {
  switch (rule) {
    case NAME_RULE_EMPTY: return "it is empty";
    case NAME_RULE_TOO_LONG: return "at most 127 characters";
    case NAME_RULE_FORWARD_SLASH:
      return "folders are separated by backslashes, not forward slashes";
    case NAME_RULE_COLON:
      return "no drive letter or colon (a relative path below the target folder)";
    case NAME_RULE_EMPTY_COMPONENT: return "no leading, trailing or doubled backslash";
    case NAME_RULE_DOT_COMPONENT: return "no \".\" or \"..\" part";
    case NAME_RULE_TRAILING_DOT_SPACE: return "no part may end in a dot or a space";
    case NAME_RULE_CHARACTER: return "no control character or any of < > \" | ? *";
    case NAME_RULE_DEVICE: return "a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
    default: return "refused";
  }
}

bool Refuse(std::string* error, const std::string& where, const std::string& what) {
  return *error = where + what, false;
}

bool CheckManifestNames(const std::string& fileName, const std::vector<ManifestEntry>& entries,
                        std::string* error) {
  std::map<std::string, const ManifestEntry*> seen;  // by the name in lower case
  for (const ManifestEntry& e : entries) {
    std::string where = fileName + ":" + std::to_string(e.line) + ": entry name \"" +
                        ShownName(e.name) + "\" ";
    int rule = EntryNameProblem(e.name.c_str(), PACKAGE_NAME_SIZE);  // no NUL: refused when read
    if (rule != NAME_RULE_KEPT) {
      return Refuse(error, where + "would be refused by the installer: ", RuleText(rule));
    }
    if (std::any_of(e.name.begin(), e.name.end(), [](unsigned char c) { return c >= 127; })) {
      return Refuse(error, where,
                    "has a byte outside printable ASCII: names must be ASCII because the "
                    "installer reads them in the target machine's code page");
    }
    const ManifestEntry*& first = seen[FoldedName(e.name)];
    if (first != nullptr) {
      return Refuse(error, where + "twice: line " + std::to_string(first->line) + " has \"",
                    ShownName(first->name) + "\" (names are compared ignoring case)");
    }
    first = &e;
  }
  const char* needed[][2] = {
      {APP_EXECUTABLE_NAME, APP_EXECUTABLE_NAME ": the installer's check for an installed copy "
                            "and its program link need it"},
      {APP_README_NAME, APP_README_NAME ": the installer's readme link needs it"}};
  for (const auto& n : needed) {
    if (seen.count(FoldedName(n[0])) == 0) {
      return Refuse(error, fileName, std::string(": the payload has no top-level ") + n[1]);
    }
  }
  return true;
}

}  // namespace

bool ReadManifestEntries(const std::string& fileName, ManifestRead read, void* user,
                         std::vector<ManifestEntry>* entries, std::string* error) {
  entries->clear();
  char buffer[65536];
  size_t have = 0, at = 0;  // bytes in buffer, and the next one to look at
  bool start = true, newline = true;
  std::string line;
  line.reserve(MANIFEST_LINE_LIMIT);
  for (int lineNumber = 1; newline; ++lineNumber) {
    auto where = [&] { return fileName + ":" + std::to_string(lineNumber) + ": "; };
    for (newline = false; !newline;) {
      if (at == have) {
        // The first piece is read until it holds the 3 bytes of a byte-order mark, or all there is.
        size_t got = 0;
        have = at = 0;
        do {
          if (!read(user, buffer + have, sizeof buffer - have, &got)) {
            return Refuse(error, fileName, ": read error");
          }
          have += got;
        } while (start && got != 0 && have < 3);
        if (start && have >= 3 && memcmp(buffer, "\xEF\xBB\xBF", 3) == 0) at = 3;
        start = false;
        if (have == 0) break;
        continue;
      }
      const char c = buffer[at++];
      newline = c == '\n';
      if (c == '\0') {
        return Refuse(error, where(), "a NUL byte; a manifest is ASCII or UTF-8 text (not UTF-16)");
      }
      // The limit leaves out the line's end: LF, or CRLF (whose CR is the one byte let past it).
      if (!newline && (line.size() > MANIFEST_LINE_LIMIT ||
                       (line.size() == MANIFEST_LINE_LIMIT && c != '\r'))) {
        return Refuse(error, where(),
                      "line longer than " + std::to_string(MANIFEST_LINE_LIMIT) + " bytes");
      }
      if (!newline) line += c;
    }
    // Blank and comment lines are looked at in place: no copy, whatever their number.
    size_t first = line.find_first_not_of(kBlanks);
    if (first != std::string::npos && line[first] != '#') {
      std::string text = Trim(line);
      size_t bar = text.find('|');
      if (bar == std::string::npos) {
        return Refuse(error, where(), "expected 'entry name | source file'");
      }
      if (entries->size() == PACKAGE_ENTRY_COUNT) {
        return Refuse(error, where(), "an 18th entry; a package holds exactly 17");
      }
      std::string source = Trim(text.substr(bar + 1));
      // '#' starts a comment only at the start of a line: after a blank in the source it would
      // read as a comment, so it is refused rather than taken as part of a file name.
      size_t hash = source.find('#');
      while (hash != std::string::npos && hash > 0 && !IsBlank(source[hash - 1])) {
        hash = source.find('#', hash + 1);
      }
      if (hash != std::string::npos) {
        return Refuse(error, where(),
                      "a comment after an entry: '#' starts a comment only at the start of a "
                      "line (a source name may hold '#', but not after a blank)");
      }
      entries->push_back({Trim(text.substr(0, bar)), source, lineNumber});
    }
    line.clear();
  }
  if (entries->size() != PACKAGE_ENTRY_COUNT) {
    return Refuse(error, fileName, ": " + std::to_string(entries->size()) +
                                       " entries; a package holds exactly 17");
  }
  return CheckManifestNames(fileName, *entries, error);
}

std::string ShownName(const std::string& name) {
  std::string shown;
  for (unsigned char c : name) {
    char text[8] = {(char)c, '\0'};
    if (c < 32 || c >= 127) snprintf(text, sizeof text, "\\x%02x", c);
    shown += text;
  }
  return shown;
}

std::string FoldedName(std::string name) {
  for (char& c : name) c = (char)tolower((unsigned char)c);
  return name;
}
