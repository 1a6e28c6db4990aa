#include "host/FXString.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace FXString {

string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  string out = FormatV(format, args);
  va_end(args);
  return out;
}

string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return string();
  string out(static_cast<size_t>(needed) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(needed));
  return out;
}

string ToLower(const string& text) {
  string out = text;
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

string ToUpper(const string& text) {
  string out = text;
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

bool FindString(const string& haystack, const string& needle, bool ignoreCase) {
  if (!ignoreCase) return haystack.find(needle) != string::npos;
  return ToLower(haystack).find(ToLower(needle)) != string::npos;
}

bool EqualsIgnoreCase(const string& a, const string& b) { return a.size() == b.size() && ToLower(a) == ToLower(b); }

bool WildcardMatch(const string& pattern, const string& text, bool ignoreCase) {
  const string p = ignoreCase ? ToLower(pattern) : pattern;
  const string t = ignoreCase ? ToLower(text) : text;
  // Greedy match with backtracking to the last '*'.
  size_t pi = 0, ti = 0, star = string::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == '?' || p[pi] == t[ti])) {
      ++pi;
      ++ti;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (star != string::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

string HashHex(const string& text) {
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  return Format("%016llx", static_cast<unsigned long long>(hash));
}

}  // namespace FXString
