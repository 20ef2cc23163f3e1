#include "alloc.h"

#include <new>

#include "vorpin_dll.h"

#ifdef VORPIN_TEST_SEAMS
namespace {
int (*g_refuse)(const char* what) = nullptr;
}

extern "C" VORPIN_API void vorpin_test_set_allocation_hook(int (*refuse)(const char* what)) {
  g_refuse = refuse;
}

bool AllocationRefused(const char* what) noexcept { return g_refuse != nullptr && g_refuse(what); }
#else
bool AllocationRefused(const char* /*what*/) noexcept { return false; }
#endif

bool ResizeBytes(std::vector<unsigned char>* bytes, size_t n, const char* what) noexcept {
  if (AllocationRefused(what)) return false;
  try {
    bytes->resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
