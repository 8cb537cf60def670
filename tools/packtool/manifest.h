// Reading a packing manifest, one entry a line ("entry name | source file"), through a bounded
// buffer, so that memory is bounded by the entries kept (17), never by the file's size.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

struct ManifestEntry {
  std::string name, source;
  int line;
};

// The longest line read (a source path of 4096 bytes, a name and a bar fit well within it).
enum { MANIFEST_LINE_LIMIT = 8192 };

// The manifest's text: up to size bytes into bytes, *got 0 at the end; false on a read error.
typedef bool (*ManifestRead)(void* user, void* bytes, size_t size, size_t* got);

// Reads the entries of the manifest called fileName (for messages) from read. A UTF-8 byte-order
// mark at the start is skipped (Windows editors write one); a NUL byte, a line longer than
// MANIFEST_LINE_LIMIT besides its LF or CRLF, a line without '|', a source with '#' at its start
// or after a blank (space, tab, CR, VT, FF), an 18th entry, or a count other than 17 is refused.
// Then the names: each one the installer accepts, printable ASCII, none twice (in any case), the
// program and readme.txt at the top level. False with "fileName:line: reason" in *error.
bool ReadManifestEntries(const std::string& fileName, ManifestRead read, void* user,
                         std::vector<ManifestEntry>* entries, std::string* error);

// A name as compared: ASCII letters in lower case.
std::string FoldedName(std::string name);
// A name as text for a message: bytes outside printable ASCII as \xNN.
std::string ShownName(const std::string& name);
