#pragma once
// String helpers of the host.
#include <cstdarg>
#include <string>

#include "host/EvDebug.h"

namespace FXString {
string Format(const char* format, ...) EV_PRINTF(1, 2);
// The same for an argument list (which it consumes).
string FormatV(const char* format, va_list args);
string ToLower(const string& text);
string ToUpper(const string& text);
// True when `needle` occurs in `haystack`; ignoreCase compares ASCII letters without case.
bool FindString(const string& haystack, const string& needle, bool ignoreCase = true);
bool EqualsIgnoreCase(const string& a, const string& b);
// 16 hexadecimal digits of the 64-bit FNV-1a hash of `text`: a short file name for any text, the same
// in every process.
string HashHex(const string& text);
// Shell-style match of `text` against `pattern` with '*' and '?'.
bool WildcardMatch(const string& pattern, const string& text, bool ignoreCase = true);
}  // namespace FXString
