// Rewriting a built installer with a new package: the resource section is laid out again with
// RCDATA 100 replaced, the sections after it move, and the headers that describe the image are
// updated; every other byte is kept. The result depends only on the installer's other bytes and
// the new package, never on the package it carried before.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/packtool/pe.h"

// The image as ReadPeImage read it (resourceSection and package are set).
typedef PeImage InstallerLayout;

// Checks that file is an executable this tool can rebuild: what ReadPeImage accepts, with an
// RCDATA 100, not signed, no symbol table, nothing after its last section, a resource section
// that starts with the tree, holds every resource's data and is followed by nothing but
// relocations. False with one line in *error.
bool ReadInstaller(PeFile& file, InstallerLayout* layout, std::string* error);

// The new SizeOfImage for a package of packageSize bytes (64 bits: it is checked before use).
uint64_t BuiltImageSize(const InstallerLayout& layout, uint64_t packageSize);

// Writes into *out the new executable without the package's bytes, which the caller writes at
// *packageOffset. Every write is checked against the output; false (with *error) when one would
// not fit, which a layout ReadInstaller accepted never gives, or "read error".
bool WriteInstallerAround(PeFile& file, const InstallerLayout& layout,
                          uint32_t packageSize, std::vector<uint8_t>* out, size_t* packageOffset,
                          std::string* error);

// The PE checksum in parts: the sum of the file's little-endian 32-bit words from offset 0, in
// pieces whose sizes are multiples of 4 but the last; PeChecksumAddAt takes a piece at any offset
// and of any size, so the pieces may be added in any order. Finished with the CheckSum field's
// value as summed and the file's size.
uint64_t PeChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size);
uint64_t PeChecksumAddAt(uint64_t sum, uint64_t offset, const uint8_t* bytes, size_t size);
uint32_t PeChecksumFinish(uint64_t sum, uint32_t field, uint64_t size);
