#include "host/CWqString.h"

std::vector<CWqString> CWqString::Tokenize(const std::string& separators, bool keepEmpty) const {
  std::vector<CWqString> parts;
  size_t start = 0;
  while (true) {
    size_t end = find_first_of(separators, start);
    std::string token = substr(start, end == npos ? npos : end - start);
    if (keepEmpty || !token.empty()) parts.emplace_back(token);
    if (end == npos) break;
    start = end + 1;
  }
  return parts;
}
