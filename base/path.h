// Paths as the ANSI code page spells them. A character is one byte, or on a double-byte code
// page (932, 936, 949, 950) a lead byte and the byte after it, and that second byte may be a
// backslash: ソ is 83 5C in code page 932. Every split and join of a path steps by character
// through these helpers. The lead-byte ranges are data, so the same helpers run on the host with
// any code page's table.
#pragma once
#include <stddef.h>

// The lead-byte ranges of the code page in force: pairs of first and last byte, as GetCPInfo
// gives them; null or no pairs for a single-byte code page. Set once, before any other thread
// uses a path helper.
void SetPathLeadBytes(const unsigned char* ranges, size_t pairs);

// 1 when byte c starts a two-byte character.
int IsPathLeadByte(unsigned char c);

// The character after the one at p; p itself at the terminator. A lead byte followed by the
// terminator counts as one character.
const char* NextPathChar(const char* p);

// The last backslash of path that is a character of its own, or null when there is none.
const char* LastPathSeparator(const char* path);
char* LastPathSeparator(char* path);

// Everything after the last backslash; the whole path when it has none.
const char* PathFileName(const char* path);

// 1 when the last character of s is a backslash.
int EndsWithBackslash(const char* s);

// dst := folder, a backslash unless folder already ends with one, then name. dst may be the same
// buffer as folder. 1 when the whole result fits, else 0 with dst empty.
int JoinPath(char* dst, size_t size, const char* folder, const char* name);

// The length of path's root: 3 for a drive ("X:\\"); for a network path "\\\\server\\share" with
// the separator after it, or the whole path when nothing follows the share. 0 when path has no
// root: relative ("dir"), drive-relative ("C:dir"), root-relative ("\\dir"), the raw forms
// ("\\\\?\\", "\\\\.\\"), or a network path without server or share. With slashToo, forward slashes
// separate too.
size_t PathRootLength(const char* path, int slashToo);

// The end of the component that starts at p: the first backslash (or, with slashToo, forward
// slash) that is a character of its own, or the terminator.
const char* PathComponentEnd(const char* p, int slashToo);
