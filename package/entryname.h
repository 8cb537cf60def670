// The check every entry name passes before it is joined onto the target folder, by extraction,
// by the uninstall's file removal and by the packing tool: the name comes from the package, and a
// damaged or hostile package must not reach outside the target folder.
#pragma once
#include <stddef.h>

// 1 when name is terminated within size bytes and is a plain relative path: backslash-separated
// components, none empty, "." or "..", none ending in a dot or a space, no drive letter or colon,
// no leading or trailing backslash, no forward slash, control character or any of <>"|?*, and no
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM and LPT with a superscript
// 1-3 as bytes 0xB9 0xB2 0xB3, with or without an extension).
int IsSafeEntryName(const char* name, size_t size);
