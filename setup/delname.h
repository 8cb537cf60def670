// Path rules of the removal, kept apart from the Win32 calls so that they can be tested on the
// host: the ".del" name of a file in use, which folders DeleteFolderTree may remove at all, and
// the exact ("\\?\") form it names them by.
#pragma once
#include <stddef.h>

// out := path with its last extension replaced by ".del" (TavrinSolo.exe -> TavrinSolo.del,
// a.b.c -> a.b.del); a file name without a dot is copied unchanged. 1 when the result fits out,
// 0 otherwise (out then holds an empty string).
int MakeDelName(const char* path, char* out, size_t outSize);

// 1 when path is an absolute folder below a root: "X:\" or "\\server\share\" followed by at
// least one more component, no "." or ".." component, shorter than maxLength. 0 for a null,
// empty, relative ("dir", "\dir", "C:dir") or root path ("C:\", "\\server\share").
int IsRemovableFolderPath(const char* path, size_t maxLength);

// out := the "\\?\" form of folder, which names a path exactly: no trailing dot or space is
// dropped and nothing is evaluated. A drive path gets "\\?\" in front, a server path
// "\\?\UNC" in place of its first backslash; forward slashes become backslashes, a run of
// them one, and a trailing one goes. 1 when IsRemovableFolderPath accepts folder (outSize as
// its limit) and the result fits out; 0 otherwise (out then holds an empty string).
int MakeExactFolderPath(const char* folder, char* out, size_t outSize);
