// Text searches in the process's locale encoding (LC_CTYPE): separators are
// found only where a character starts, so a byte inside a double-byte
// character is never taken for "\", "/", "." or ";". Case-insensitive
// comparisons fold ASCII letters only.
#ifndef DOCSEAL_NAME_TEXT_H
#define DOCSEAL_NAME_TEXT_H

#include <stddef.h>

#include <string>
#include <vector>

namespace docseal {

// Position of the first / last character c in s, or npos.
size_t FindFirstChar(const std::string& s, char c);
size_t FindLastChar(const std::string& s, char c);

inline bool ContainsChar(const std::string& s, char c) {
  return FindFirstChar(s, c) != std::string::npos;
}

// s with every character from replaced by to.
std::string ReplaceChar(const std::string& s, char from, char to);

// The entries of a list whose entries each end with sep; a last entry
// without sep counts as well. Empty entries are kept.
std::vector<std::string> SplitEntries(const std::string& list, char sep);

// Equality with ASCII letters folded to upper case.
bool EqualsIgnoreCase(const std::string& a, const std::string& b);

}  // namespace docseal

#endif
