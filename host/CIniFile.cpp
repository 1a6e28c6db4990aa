#include "host/CIniFile.h"

#include <sstream>

#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXString.h"

namespace {
string Trim(const string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == string::npos) return string();
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}
}  // namespace

string CIniFile::MakeKey(const string& section, const string& key) {
  return FXString::ToLower(section) + "\n" + FXString::ToLower(key);
}

bool CIniFile::Load(const string& path) {
  values_.clear();
  string content;
  if (!ReadWholeFile(path, content)) return false;
  Parse(path, content);
  return true;
}

void CIniFile::Parse(const string& path, const string& content) {
  static EvDebug log("config");
  values_.clear();
  std::istringstream lines(content);
  string line, section;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text.front() == '[') {
      if (text.back() == ']' && text.size() > 2) {
        section = Trim(text.substr(1, text.size() - 2));
        continue;
      }
    } else {
      size_t eq = text.find('=');
      string key = eq == string::npos ? string() : Trim(text.substr(0, eq));
      if (!key.empty() && !section.empty()) {
        values_[MakeKey(section, key)] = Trim(text.substr(eq + 1));
        continue;
      }
    }
    EVERROR(log, "Ignoring malformed line %d of configuration file [%s]: [%s]", number, path.c_str(), text.c_str());
  }
}

bool CIniFile::Get(const string& section, const string& key, string& value) const {
  auto it = values_.find(MakeKey(section, key));
  if (it == values_.end()) return false;
  value = it->second;
  return true;
}
