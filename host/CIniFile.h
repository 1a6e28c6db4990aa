#pragma once
// An INI text: "[section]" lines, then "key=value" lines; blank lines and lines starting with ';'
// or '#' are comments. Section and key names compare without case. A malformed line is ignored
// with one warning naming the file and the line.
#include <map>
#include <string>

#include "host/HostTypes.h"

class CIniFile {
 public:
  // Reads the file; false (and no keys) when it cannot be read.
  bool Load(const string& path);
  void Parse(const string& path, const string& content);
  bool Get(const string& section, const string& key, string& value) const;
  static string MakeKey(const string& section, const string& key);
  const std::map<string, string>& Values() const { return values_; }

 private:
  std::map<string, string> values_;  // MakeKey(section, key) -> value
};
