// EntryNameProblem and IsSafeEntryName: the entry-name rules shared by extraction, removal and
// the packing tool.
#include "package/entryname.h"

#include <string.h>

static int IsReservedDeviceName(const char* component, size_t length) {
  // The device name counts with or without an extension: "CON", "con.txt", "LPT1.log".
  size_t stem = 0;
  while (stem < length && component[stem] != '.') ++stem;
  while (stem > 0 && component[stem - 1] == ' ') --stem;  // Windows also reads "NUL .txt" as NUL
  char upper[5] = {0};
  if (stem < 3 || stem > 4) return 0;
  for (size_t i = 0; i < stem; ++i) {
    char c = component[i];
    upper[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
  }
  if (stem == 3) {
    return strcmp(upper, "CON") == 0 || strcmp(upper, "PRN") == 0 || strcmp(upper, "AUX") == 0 ||
           strcmp(upper, "NUL") == 0;
  }
  // COM1-9 and LPT1-9, and COM or LPT with a superscript one, two or three, which Windows also
  // reserves (bytes 0xB9, 0xB2, 0xB3 in the ANSI code page).
  const unsigned char digit = (unsigned char)upper[3];
  if ((digit < '1' || digit > '9') && digit != 0xB9 && digit != 0xB2 && digit != 0xB3) return 0;
  upper[3] = '\0';
  return strcmp(upper, "COM") == 0 || strcmp(upper, "LPT") == 0;
}

static int ComponentProblem(const char* component, size_t length) {
  if (length == 0) return NAME_RULE_EMPTY_COMPONENT;
  if ((length == 1 && component[0] == '.') ||
      (length == 2 && component[0] == '.' && component[1] == '.')) {
    return NAME_RULE_DOT_COMPONENT;
  }
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)component[i];
    if (c == '/') return NAME_RULE_FORWARD_SLASH;
    if (c == ':') return NAME_RULE_COLON;
    if (c < 32 || c == 127 || strchr("<>\"|?*", c) != nullptr) return NAME_RULE_CHARACTER;
  }
  if (component[length - 1] == '.' || component[length - 1] == ' ') {
    return NAME_RULE_TRAILING_DOT_SPACE;
  }
  return IsReservedDeviceName(component, length) ? NAME_RULE_DEVICE : NAME_RULE_KEPT;
}

int EntryNameProblem(const char* name, size_t size) {
  if (name == nullptr) return NAME_RULE_EMPTY;
  size_t length = 0;
  while (length < size && name[length] != '\0') ++length;
  if (length == size) return NAME_RULE_TOO_LONG;  // not terminated within its field
  if (length == 0) return NAME_RULE_EMPTY;
  // Splitting at every backslash rejects leading, trailing and doubled backslashes as empty
  // components; the colon rule covers drive letters and alternate data streams.
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i == length || name[i] == '\\') {
      int problem = ComponentProblem(name + start, i - start);
      if (problem != NAME_RULE_KEPT) return problem;
      start = i + 1;
    }
  }
  return NAME_RULE_KEPT;
}

int IsSafeEntryName(const char* name, size_t size) {
  return EntryNameProblem(name, size) == NAME_RULE_KEPT;
}
