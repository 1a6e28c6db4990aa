#pragma once
// The process at the other end of a loopback TCP connection, found as the kernel lists it: the socket
// whose local port is the client's and whose remote port is ours (/proc/net/tcp), then the process
// holding that socket (/proc/<pid>/fd). The emulator uses it to stop a caller a fault rule kills and
// to note who made a resource.
#include <sys/types.h>

namespace cloudsim {

// 0 when no process of ours holds the connection (it is gone, or another user's).
pid_t PeerProcess(int clientPort, int serverPort);

// A process as it stays known while it lives: its id and its start time (in clock ticks since boot), so
// that a later process given the same id is not taken for it. {0, 0} for no process.
struct SProcessIdentity {
  pid_t pid = 0;
  unsigned long long started = 0;
  bool operator<(const SProcessIdentity& other) const {
    return pid != other.pid ? pid < other.pid : started < other.started;
  }
};
SProcessIdentity IdentityOf(pid_t pid);

// The process one request comes from, looked up once and only when something asks for it: the look goes
// through every process's open files.
class CRequestCaller {
 public:
  CRequestCaller(int clientPort, int serverPort) : clientPort_(clientPort), serverPort_(serverPort) {}
  pid_t Pid() {
    if (!found_) pid_ = PeerProcess(clientPort_, serverPort_), found_ = true;
    return pid_;
  }
  SProcessIdentity Identity() { return IdentityOf(Pid()); }

 private:
  int clientPort_, serverPort_;
  bool found_ = false;
  pid_t pid_ = 0;
};

}  // namespace cloudsim
