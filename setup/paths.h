// Path rules of the target folder, the shortcut files and the user's "Programs" shell folder:
// plain text in, plain text out, so they are built and tested on the host too. Every function
// that writes out returns 1 when the whole result fits and 0 otherwise, leaving out empty.
#pragma once
#include <stddef.h>

// Cuts path in place to its drive or server root: C:\WINDOWS gives C:\, a bare C: stays C:,
// \\server\share\dir gives \\server\, WINDOWS and \dir\sub give an empty string.
void PathToRoot(char* path);

// Program Files below the root of the Windows directory, from what GetWindowsDirectoryA left:
// windowsDir (terminated) and the length the call returned. When that length is not the length
// of the string, or the string has no root, the root is "C:". The result ends with a backslash:
// C:\WINDOWS and the "C:" root both give C:\Program Files\.
int ProgramFilesFallback(char* windowsDir, size_t reportedLength, char* out, size_t outSize);

// out := programFiles joined with "Quorel\Tavrin-Solo". An empty programFiles is a failure.
int ComposeTargetFolder(const char* programFiles, char* out, size_t outSize);

// out := folder, a backslash unless it ends with one, name and ".LNK".
int ComposeLinkPath(const char* folder, const char* name, char* out, size_t outSize);

// out := target cut at its last backslash (the folder it lies in); a target without a backslash
// is used whole.
int WorkingFolderOf(const char* target, char* out, size_t outSize);

// 1 when folder is absolute: a drive with its backslash (C:\...) or a server path with its share
// (\\server\share...). Empty, relative ("Startup"), drive-relative (C:x), root-relative (\x) and
// raw (\\?\...) folders give 0.
int IsAbsoluteFolder(const char* folder);

// 1 when folder is absolute (as above) and has no "." or ".." component: it names the same place
// whatever the current folder, and the removal walks the folders made below it.
int IsPlainAbsoluteFolder(const char* folder);

// Rewrites folder in place in the form the other helpers read: forward slashes become
// backslashes, and a "\\?\" or "\\.\" prefix goes, in either slash ("\\?\UNC\server\share" and
// "\\.\unc\server\share" give "\\server\share", "\\.\C:\x" gives "C:\x").
// Then 1 when it is absolute (IsAbsoluteFolder).
int NormalizeFolderForm(char* folder);

// Copies registry string data of dataSize bytes, as RegQueryValueExA returned it, into out. The
// string ends at the first zero byte within dataSize, or after dataSize bytes when there is none.
// An empty string, or one that does not fit out with its terminator, gives 0.
int CopyRegistryString(const char* data, size_t dataSize, char* out, size_t outSize);
