// Words shared between threads: the one way this program hands a value from one thread to
// another. A word is an aligned 32-bit integer; StoreShared publishes it with release ordering,
// so that everything its thread wrote before is visible to a thread that reads the new value
// with LoadShared (acquire ordering). Neither waits; a thread that must wait for a word does so
// on an event of its own and reads the word again when woken.
#pragma once
#include <stdint.h>

static inline void StoreShared(int32_t* word, int32_t value) {
  __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

static inline int32_t LoadShared(const int32_t* word) {
  return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
