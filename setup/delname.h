// Path rules of the removal, kept apart from the Win32 calls so that they can be tested on the
// host: the ".del" name of a file in use, and which folders DeleteFolderTree may remove at all.
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
