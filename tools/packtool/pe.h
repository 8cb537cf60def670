// Finding a resource's bytes inside a Windows executable file (PE32 or PE32+), so that the
// packing tool can list and verify the package embedded in a built installer.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

// True when file is a PE image (starts with "MZ"); then *found tells whether the resource of the
// given type and integer id was there, with its file offset and size. False when the file is not
// a PE image at all. A damaged PE is reported through *error.
bool FindPeResource(const std::vector<uint8_t>& file, uint32_t type, uint32_t id, bool* found,
                    size_t* offset, size_t* size, const char** error);
