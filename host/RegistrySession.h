#pragma once
// A registry session: proof that a process still uses the entries it owns. Each session holds an
// exclusive advisory lock (flock) on a lock file of its own for as long as it is open; the kernel
// drops the lock when the process dies, so another process sees at once that the session is gone.
// The commands a job starts inherit the lock (TzProcess::ShareWithCommands): a job killed while an
// iSCSI login or a disk tool of its own still runs leaves its session held until they end, so that
// nobody sweeps what those commands are still making. The file names the process that opened it
// (ProcessIdentity), which tells such a session from a running job's.
#include <functional>
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

  // Waits while sessions of the folder are held only by what their dead jobs started, polling until
  // none is left, `stop` says so or `maxSeconds` passed; the number of such sessions still held then.
  static int AwaitCommandsOfDeadJobs(const string& directory, const std::function<bool()>& stop, int maxSeconds);

 private:
  int fd_ = -1;
  string key_;
  string path_;
};
