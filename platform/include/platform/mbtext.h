// Substring search over narrow texts in the encoding of the process's
// locale (LC_CTYPE): a match never starts on a trailing byte of a multibyte
// character. Under the "C" locale every byte is a character.
#ifndef PLATFORM_MBTEXT_H
#define PLATFORM_MBTEXT_H

#include <stddef.h>

namespace platform {

// Length in bytes of the character that starts at text, looking at no more
// than left bytes (left > 0): what mbrlen says in the current locale, and 1
// for a NUL, a byte that starts no valid character or a cut-off sequence.
size_t CharLength(const char* text, size_t left) noexcept;

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Byte offset of the first occurrence of needle in text at or after the
// character boundary from, or kNotFound. Both texts end at their first NUL;
// from must not lie past the end of text.
size_t FindText(const char* text, const char* needle, size_t from = 0) noexcept;

}  // namespace platform

#endif
