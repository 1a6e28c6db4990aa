#pragma once
// The host's string with a tokenizer.
#include <string>
#include <vector>

class CWqString : public std::string {
 public:
  using std::string::string;
  CWqString() = default;
  CWqString(const std::string& text) : std::string(text) {}  // NOLINT(google-explicit-constructor)

  // Splits at any of `separators`. Empty tokens are dropped unless keepEmpty is set, in which case
  // "a++b" gives "a", "", "b" and an empty text gives one empty token.
  std::vector<CWqString> Tokenize(const std::string& separators, bool keepEmpty = false) const;
};
