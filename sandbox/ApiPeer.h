#pragma once
// The process at the other end of a loopback TCP connection, found as the kernel lists it: the socket
// whose local port is the client's and whose remote port is ours (/proc/net/tcp), then the process
// holding that socket (/proc/<pid>/fd). The emulator uses it to stop a caller a fault rule kills and
// to note who made a resource.
#include <sys/types.h>

namespace cloudsim {

// 0 when no process of ours holds the connection (it is gone, or another user's).
pid_t PeerProcess(int clientPort, int serverPort);

}  // namespace cloudsim
