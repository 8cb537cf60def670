// Where a package's directory is laid out before it is sealed (package/stream.h). Used by the
// packing tool, and by tests, the fuzzer and the benchmark to make packages of their own.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"

// Fills *directory for entries of the given names and sizes, back to back from 2720, reserved
// zero. Names are copied as they are (not checked; at most 127 bytes each). The size of the
// whole image, or 0 when a name is too long or the image would not fit in 32 bits.
uint64_t LayoutPackage(PackageDirectory* directory, const char* const names[PACKAGE_ENTRY_COUNT],
                       const uint32_t sizes[PACKAGE_ENTRY_COUNT]);
