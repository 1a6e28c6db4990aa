#include "host/CleanerHandle.h"

#include <cerrno>
#include <cstdlib>

namespace CleanerHandle {

namespace {
bool IsPlain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
bool ParseInt(const string& text, int32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}
}  // namespace

string EncodeName(const string& name) {
  static const char digits[] = "0123456789ABCDEF";
  string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (IsPlain(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

bool DecodeName(const string& encoded, string& name) {
  string out;
  out.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '%') {
      if (i + 2 >= encoded.size()) return false;
      int hi = HexValue(encoded[i + 1]), lo = HexValue(encoded[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (IsPlain(static_cast<unsigned char>(c))) {
      out += c;
    } else {
      return false;
    }
  }
  name.swap(out);
  return true;
}

string Root(int32_t mode, int32_t type, const string& name) {
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "/" + std::to_string(...).
  string root = "/";
  root += std::to_string(mode);
  root += "/";
  root += std::to_string(type);
  root += ":";
  root += EncodeName(name);
  return root;
}

string Child(const string& parentHandle, int32_t type, const string& name) {
  return parentHandle + "/" + std::to_string(type) + ":" + EncodeName(name);
}

bool Parse(const string& handle, SParsed& parsed) {
  if (handle.size() < 2 || handle[0] != '/') return false;
  std::vector<string> parts;
  size_t start = 1;
  while (true) {
    size_t slash = handle.find('/', start);
    parts.push_back(handle.substr(start, slash == string::npos ? string::npos : slash - start));
    if (slash == string::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 2) return false;
  SParsed result;
  if (!ParseInt(parts[0], result.mode)) return false;
  for (size_t i = 1; i < parts.size(); ++i) {
    size_t colon = parts[i].find(':');
    if (colon == string::npos) return false;
    SSegment segment;
    if (!ParseInt(parts[i].substr(0, colon), segment.type)) return false;
    if (!DecodeName(parts[i].substr(colon + 1), segment.name)) return false;
    result.chain.push_back(std::move(segment));
  }
  parsed = std::move(result);
  return true;
}

}  // namespace CleanerHandle
