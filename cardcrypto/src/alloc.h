// The library's own allocations go through here. The test build of the
// library (vorpin_dll_traced) asks a hook that a test installs before each
// one, so that a test can make any of them fail; the installed library
// never refuses one of its own.
#ifndef CARDCRYPTO_ALLOC_H
#define CARDCRYPTO_ALLOC_H

#include <cstddef>
#include <vector>

// True when the allocation about to be made must fail. what names it.
bool AllocationRefused(const char* what) noexcept;

// Resizes bytes to n zero bytes; false when the memory cannot be had.
bool ResizeBytes(std::vector<unsigned char>* bytes, size_t n, const char* what) noexcept;

#endif
