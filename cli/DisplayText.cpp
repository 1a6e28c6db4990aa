#include "cli/DisplayText.h"

#include <cstdio>

namespace cli {

namespace {

// Length of the well-formed UTF-8 sequence at `i` and its code point; 0 when it is not one.
size_t Utf8Sequence(const std::string& text, size_t i, unsigned& codePoint) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  unsigned minimum;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, codePoint = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, codePoint = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

void AppendHex(std::string& out, unsigned char c) {
  static const char digits[] = "0123456789abcdef";
  out += "\\x";
  out += digits[c >> 4];
  out += digits[c & 15];
}

}  // namespace

std::string EscapeForDisplay(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned codePoint = 0;
    const size_t length = Utf8Sequence(text, i, codePoint);
    const bool control = codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F);
    if (text[i] == '\t') {  // a tab in a message (the plug-in indents some) reads as a space
      out += ' ';
      ++i;
    } else if (length == 0 || control) {
      for (size_t k = 0; k < (length ? length : 1); ++k) AppendHex(out, static_cast<unsigned char>(text[i + k]));
      i += length ? length : 1;
    } else if (text[i] == '\\') {
      out += "\\\\";
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

bool IsValidUtf8(const std::string& text) {
  unsigned codePoint = 0;
  for (size_t i = 0, length; i < text.size(); i += length)
    if ((length = Utf8Sequence(text, i, codePoint)) == 0) return false;
  return true;
}

std::string ShownBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace cli
