// The lanes eight wide in AVX2 registers: package/lanes.cpp again, this file alone built for AVX2.
#define LANES_WIDTH 8
#include "package/lanes.cpp"
