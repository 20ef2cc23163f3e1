#include "trace.h"

#include <cstdarg>
#include <cstdio>

#include "vorpin_dll.h"

#ifdef VORPIN_TRACE_SINK
// Test-only build: the formatted message goes to the sink a test installs.
namespace {
void (*g_sink)(const char* message) = nullptr;
}

extern "C" VORPIN_API void vorpin_test_set_trace_sink(void (*sink)(const char* message)) {
  g_sink = sink;
}

void vorpin_trace(const char* format, ...) {
  if (g_sink == nullptr) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_sink(text);
}
#else
void vorpin_trace(const char* /*format*/, ...) {}
#endif

const char* vorpin_trace_dump(const unsigned char* /*data*/, int32_t /*length*/) { return nullptr; }
