#include "name_text.h"

#include "platform/mbtext.h"

namespace docseal {

namespace {

// Calls at(i) for the first byte of every character of s; stops when it
// answers false.
template <class At>
void ForEachChar(const std::string& s, At at) {
  for (size_t i = 0; i < s.size(); i += platform::CharLength(s.data() + i, s.size() - i)) {
    if (!at(i)) return;
  }
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

size_t FindFirstChar(const std::string& s, char c) {
  size_t found = std::string::npos;
  ForEachChar(s, [&](size_t i) {
    if (s[i] != c) return true;
    found = i;
    return false;
  });
  return found;
}

size_t FindLastChar(const std::string& s, char c) {
  size_t found = std::string::npos;
  ForEachChar(s, [&](size_t i) {
    if (s[i] == c) found = i;
    return true;
  });
  return found;
}

std::string ReplaceChar(const std::string& s, char from, char to) {
  std::string out(s);
  ForEachChar(s, [&](size_t i) {
    if (s[i] == from) out[i] = to;
    return true;
  });
  return out;
}

std::vector<std::string> SplitEntries(const std::string& list, char sep) {
  std::vector<std::string> entries;
  size_t start = 0;
  ForEachChar(list, [&](size_t i) {
    if (list[i] == sep) {
      entries.push_back(list.substr(start, i - start));
      start = i + 1;
    }
    return true;
  });
  if (start < list.size()) entries.push_back(list.substr(start));
  return entries;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace docseal
