// The trace hook: every progress and failure message of the library passes
// through vorpin_trace as a printf-style format and its arguments. The
// installed library discards them; the test build of the same sources hands
// the formatted text to a sink that the tests set.
#ifndef CARDCRYPTO_TRACE_H
#define CARDCRYPTO_TRACE_H

#include <stdint.h>

void vorpin_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text of a byte buffer for a trace message; always a null text.
const char* vorpin_trace_dump(const unsigned char* data, int32_t length);

#endif
