#include "host/TZPlatformInfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include "host/CIniFile.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostEnvironment.h"
#include "host/Mutex.h"

namespace {

using Store = std::map<string, string>;  // CIniFile::MakeKey(section, key) -> value

struct SConfigState {
  Mutex mutex;
  string overridePath GUARDED_BY(mutex);
  Store overrides GUARDED_BY(mutex);
  CIniFile file GUARDED_BY(mutex);
  string loadedPath GUARDED_BY(mutex);
  struct timespec loadedMtime GUARDED_BY(mutex) {};
  struct timespec loadedCtime GUARDED_BY(mutex) {};
  ino_t loadedInode GUARDED_BY(mutex) = 0;
  off_t loadedSize GUARDED_BY(mutex) = -1;
  bool loaded GUARDED_BY(mutex) = false;
};

SConfigState& State() {
  static SConfigState* state = new SConfigState;
  return *state;
}

EvDebug& Log() {
  static EvDebug* log = new EvDebug("config");
  return *log;
}

// Reloads the file when its path, size or modification time changed.
void Refresh(SConfigState& state) REQUIRES(state.mutex) {
  string path = state.overridePath.empty() ? HostEnvironment::UnderHome("etc/platform.ini") : state.overridePath;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    state.file = CIniFile();
    state.loaded = false;
    state.loadedPath = path;
    return;
  }
  // A file replaced by rename has another inode; one rewritten in place another change time.
  if (state.loaded && state.loadedPath == path && state.loadedSize == st.st_size && state.loadedInode == st.st_ino &&
      state.loadedMtime.tv_sec == st.st_mtim.tv_sec && state.loadedMtime.tv_nsec == st.st_mtim.tv_nsec &&
      state.loadedCtime.tv_sec == st.st_ctim.tv_sec && state.loadedCtime.tv_nsec == st.st_ctim.tv_nsec)
    return;
  state.file.Load(path);
  state.loaded = true;
  state.loadedPath = path;
  state.loadedSize = st.st_size;
  state.loadedMtime = st.st_mtim;
  state.loadedCtime = st.st_ctim;
  state.loadedInode = st.st_ino;
}

bool Lookup(const string& section, const string& key, string& value) {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  auto over = state.overrides.find(CIniFile::MakeKey(section, key));
  if (over != state.overrides.end()) {
    value = over->second;
    return true;
  }
  Refresh(state);
  return state.file.Get(section, key, value);
}

bool ParseUnsigned(const string& text, UINT64& out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  out = v;
  return true;
}

}  // namespace

int TZPlatformInfo::getNumber(const string& section, const string& key, UINT64* value) {
  string text;
  UINT64 parsed = 0;
  if (!Lookup(section, key, text)) return 0;
  if (!ParseUnsigned(text, parsed)) {
    Log().Error(__PRETTY_FUNCTION__, "Value [%s] of [%s]\\[%s] is not a number; using the default", text.c_str(),
                section.c_str(), key.c_str());
    return 0;
  }
  if (value) *value = parsed;
  return 1;
}

int TZPlatformInfo::getNumber(const string& section, const string& key, uint32_t* value) {
  UINT64 wide = 0;
  if (!getNumber(section, key, &wide)) return 0;
  if (wide > UINT32_MAX) {
    Log().Error(__PRETTY_FUNCTION__, "Value [%llu] of [%s]\\[%s] does not fit 32 bits; using the default",
                static_cast<unsigned long long>(wide), section.c_str(), key.c_str());
    return 0;
  }
  if (value) *value = static_cast<uint32_t>(wide);
  return 1;
}

int TZPlatformInfo::getString(const string& section, const string& key, string* value) {
  string text;
  if (!Lookup(section, key, text)) return 0;
  if (value) *value = text;
  return 1;
}

int TZPlatformInfo::getBoolean(const string& section, const string& key, bool* value) {
  string text;
  if (!Lookup(section, key, text)) return 0;
  string v = FXString::ToLower(text);
  bool parsed;
  if (v == "1" || v == "true" || v == "yes" || v == "on") {
    parsed = true;
  } else if (v == "0" || v == "false" || v == "no" || v == "off") {
    parsed = false;
  } else {
    Log().Error(__PRETTY_FUNCTION__, "Value [%s] of [%s]\\[%s] is not a boolean; using the default", text.c_str(),
                section.c_str(), key.c_str());
    return 0;
  }
  if (value) *value = parsed;
  return 1;
}

void TZPlatformInfo::SetValue(const string& section, const string& key, const string& value) {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  state.overrides[CIniFile::MakeKey(section, key)] = value;
}

void TZPlatformInfo::RemoveValue(const string& section, const string& key) {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  state.overrides.erase(CIniFile::MakeKey(section, key));
}

void TZPlatformInfo::ClearValues() {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  state.overrides.clear();
}

void TZPlatformInfo::SetFilePath(const string& path) {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  state.overridePath = path;
  state.loaded = false;
}

string TZPlatformInfo::FilePath() {
  SConfigState& state = State();
  MutexLock lock(state.mutex);
  return state.overridePath.empty() ? HostEnvironment::UnderHome("etc/platform.ini") : state.overridePath;
}
