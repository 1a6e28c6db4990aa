#include "host/ProcessIdentity.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/FXFile.h"

namespace ProcessIdentity {
namespace {

string BootId() {
  string id;
  if (!ReadWholeFile("/proc/sys/kernel/random/boot_id", id)) return string();
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

// The start time of a process (field 22 of its stat line, after the parenthesised name); empty when
// there is no such process.
string StartTime(long pid) {
  string stat;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return string();
  const size_t close = stat.rfind(')');
  if (close == string::npos) return string();
  size_t start = close + 2;
  for (int field = 3; field < 22 && start != string::npos; ++field) {
    start = stat.find(' ', start);
    if (start != string::npos) ++start;
  }
  if (start == string::npos) return string();
  return stat.substr(start, stat.find(' ', start) - start);
}

bool IsDecimal(const string& text) {
  return !text.empty() && text.size() < 20 && text.find_first_not_of("0123456789") == string::npos;
}

}  // namespace

string Current() {
  const string boot = BootId(), start = StartTime(::getpid());
  if (boot.empty() || start.empty()) return string();
  return boot + "/" + std::to_string(::getpid()) + "/" + start;
}

bool IsGone(const string& identity) {
  const size_t first = identity.find('/'), second = identity.find('/', first == string::npos ? 0 : first + 1);
  if (first == string::npos || second == string::npos) return false;
  const string boot = identity.substr(0, first), pid = identity.substr(first + 1, second - first - 1);
  const string start = identity.substr(second + 1);
  const string thisBoot = BootId();
  if (boot.empty() || !IsDecimal(pid) || !IsDecimal(start) || thisBoot.empty()) return false;
  if (boot != thisBoot) return true;
  return StartTime(std::strtol(pid.c_str(), nullptr, 10)) != start;
}

}  // namespace ProcessIdentity
