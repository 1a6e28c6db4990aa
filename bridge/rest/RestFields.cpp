#include "bridge/rest/RestFields.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace OracleCloudSDKCppBridge {

std::string TextOf(const json& from, const char* key) {
  const auto it = from.find(key);
  return it != from.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t IntOf(const json& from, const char* key) {
  const auto it = from.find(key);
  if (it == from.end() || !it->is_number()) return 0;
  return it->is_number_float() ? std::llround(it->get<double>()) : it->get<int64_t>();
}

double NumberOf(const json& from, const char* key) {
  const auto it = from.find(key);
  return it != from.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::map<std::string, std::string> FreeformTagsOf(const json& resource) {
  std::map<std::string, std::string> tags;
  const auto it = resource.find("freeformTags");
  if (it == resource.end() || !it->is_object()) return tags;
  for (const auto& [key, value] : it->items())
    if (value.is_string()) tags[key] = value.get<std::string>();
  return tags;
}

int64_t ParseApiTime(const std::string& text) {
  struct tm parts = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (!end) return 0;
  if (*end == '.') {
    ++end;
    if (*end < '0' || *end > '9') return 0;
    while (*end >= '0' && *end <= '9') ++end;
  }
  int64_t offset = 0;
  if (*end == 'Z' || *end == 'z') {
    ++end;
  } else if (*end == '+' || *end == '-') {
    int hours = 0, minutes = 0, used = 0;
    if (std::sscanf(end + 1, "%2d:%2d%n", &hours, &minutes, &used) != 2 || used != 5) return 0;
    offset = (hours * int64_t{3600} + minutes * int64_t{60}) * (*end == '+' ? 1 : -1);
    end += 1 + used;
  } else {
    return 0;
  }
  if (*end != '\0') return 0;
  return static_cast<int64_t>(timegm(&parts)) - offset;
}

}  // namespace OracleCloudSDKCppBridge
