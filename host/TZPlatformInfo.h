#pragma once
// The agent's configuration store: an INI file (<base home>/etc/platform.ini) of sections
// ("[VirtualServer]") and key=value lines. Every getter returns non-zero when the key exists and
// leaves the output untouched otherwise, so the caller presets the default. A missing file means
// no keys; a malformed line is ignored with one warning naming the file and the line. The file is
// read again when it changes. Tests set values in memory; those win over the file.
#include <cstdint>
#include <string>

#include "host/HostTypes.h"

class TZPlatformInfo {
 public:
  static int getNumber(const string& section, const string& key, UINT64* value);
  static int getNumber(const string& section, const string& key, uint32_t* value);
  static int getString(const string& section, const string& key, string* value);
  static int getBoolean(const string& section, const string& key, bool* value);

  // In-memory values (tests, the stand-in agent's command line).
  static void SetValue(const string& section, const string& key, const string& value);
  static void RemoveValue(const string& section, const string& key);
  static void ClearValues();
  // Reads another file instead of <base home>/etc/platform.ini (empty: back to the default).
  static void SetFilePath(const string& path);
  static string FilePath();
};
