// Bounded text helpers. Every copy into a fixed buffer in the installer goes through these.
// Each returns 1 when the whole result fits its buffer with the terminator and 0 otherwise;
// on 0 the buffer holds an empty string, so a caller that goes on never uses a cut-off path.
#pragma once
#include <stddef.h>

// dst := src. A null src counts as empty.
int TextCopy(char* dst, size_t size, const char* src);

// dst := dst + src. dst must be terminated within size.
int TextAppend(char* dst, size_t size, const char* src);

// dst := format with every "%s" replaced by arg (no other conversions; "%%" gives "%").
int TextFormat(char* dst, size_t size, const char* format, const char* arg);

// Length of s, reading at most max bytes; max when no terminator lies within them.
size_t TextLength(const char* s, size_t max);
