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

struct InstallerLayout {
  PeHeaders pe;
  ResourceTree tree;
  int resourceSection;  // index of the section that holds the resource tree
  int package;          // index of RCDATA 100's data entry in tree.data
};

// Checks that file is an executable this tool can rebuild: a PE32 i386 image, not signed, nothing
// after its last section, a resource section holding every resource's data and followed by
// nothing but relocations, and exactly one RCDATA 100. False with one line in *error.
bool ReadInstaller(const uint8_t* file, size_t size, InstallerLayout* layout, std::string* error);

// The new SizeOfImage for a package of packageSize bytes (64 bits: it is checked before use).
uint64_t BuiltImageSize(const InstallerLayout& layout, uint64_t packageSize);

// Writes into *out the whole new executable with room for a package of packageSize bytes at
// *packageOffset (zero there); the caller puts the package there and then calls SetPeChecksum.
void WriteInstaller(const uint8_t* file, const InstallerLayout& layout, uint32_t packageSize,
                    std::vector<uint8_t>* out, size_t* packageOffset);

// The PE checksum as Windows computes it (ImageHlp's CheckSumMappedFile): the 16-bit one's
// complement sum of the file with the CheckSum field taken as zero, plus the file's length.
uint32_t PeChecksum(const uint8_t* bytes, size_t size, size_t checksumOffset);

// Stores PeChecksum of the image in its CheckSum field.
void SetPeChecksum(std::vector<uint8_t>* image, const InstallerLayout& layout);
