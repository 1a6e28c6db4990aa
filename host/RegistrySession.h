#pragma once
// A registry session: proof that a process still uses the entries it owns. Each session holds an
// exclusive advisory lock (flock) on a lock file of its own for as long as it is open; the kernel
// drops the lock when the process dies, so another process sees at once that the session is gone.
#include <string>

#include "host/HostTypes.h"

class CRegistrySession {
 public:
  CRegistrySession() = default;
  ~CRegistrySession() { Close(); }
  CRegistrySession(const CRegistrySession&) = delete;
  CRegistrySession& operator=(const CRegistrySession&) = delete;

  // Creates and locks <directory>/<key>.lock under a new random key.
  bool Open(const string& directory, string& error);
  void Close();
  const string& Key() const { return key_; }
  bool IsOpen() const { return fd_ >= 0; }

  // True while some process holds the session `key` open. A session whose lock file is gone, or
  // whose lock nobody holds, is dead; the lock file of a dead session is removed.
  static bool IsAlive(const string& directory, const string& key);

 private:
  int fd_ = -1;
  string key_;
  string path_;
};
