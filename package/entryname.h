// The check every entry name passes before it is joined onto the target folder, by extraction,
// by the uninstall's file removal and by the packing tool: the name comes from the package, and a
// damaged or hostile package must not reach outside the target folder.
#pragma once
#include <stddef.h>

// The rule a name breaks: the first one found, reading the name from its start.
enum EntryNameRule {
  NAME_RULE_KEPT = 0,
  NAME_RULE_EMPTY,              // no name at all
  NAME_RULE_TOO_LONG,           // not terminated within its field
  NAME_RULE_FORWARD_SLASH,      // folders are separated by backslashes
  NAME_RULE_COLON,              // a drive letter ("C:"), or a stream ("x:y")
  NAME_RULE_EMPTY_COMPONENT,    // a leading, trailing or doubled backslash
  NAME_RULE_DOT_COMPONENT,      // a "." or ".." component
  NAME_RULE_TRAILING_DOT_SPACE, // a component ending in a dot or a space
  NAME_RULE_CHARACTER,          // a control character or one of <>"|?*
  NAME_RULE_DEVICE,             // a reserved device name
};

// NAME_RULE_KEPT when name is terminated within size bytes and is a plain relative path that
// breaks none of the rules above (device names: CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM and LPT
// with a superscript 1-3 as bytes 0xB9 0xB2 0xB3, with or without an extension).
int EntryNameProblem(const char* name, size_t size);

// 1 when EntryNameProblem finds nothing, 0 otherwise.
int IsSafeEntryName(const char* name, size_t size);
