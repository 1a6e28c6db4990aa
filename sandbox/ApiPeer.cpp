#include "ApiPeer.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace cloudsim {
namespace {

// The inode of the IPv4 TCP socket from 127.0.0.1:clientPort to 127.0.0.1:serverPort; 0: none.
unsigned long ClientSocketInode(int clientPort, int serverPort) {
  char local[32], remote[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", clientPort);
  std::snprintf(remote, sizeof remote, "0100007F:%04X", serverPort);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, from, to, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    fields >> slot >> from >> to >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (from == local && to == remote) return inode;
  }
  return 0;
}

}  // namespace

pid_t PeerProcess(int clientPort, int serverPort) {
  const unsigned long inode = ClientSocketInode(clientPort, serverPort);
  if (inode == 0) return 0;
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0 || found) continue;
    const std::string fdFolder = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = ::opendir(fdFolder.c_str());
    if (!fds) continue;
    while (dirent* fd = ::readdir(fds)) {
      char target[64];
      const ssize_t size = ::readlink((fdFolder + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (size > 0 && wanted.compare(0, std::string::npos, target, static_cast<size_t>(size)) == 0) {
        found = pid;
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
}

SProcessIdentity IdentityOf(pid_t pid) {
  if (pid <= 0) return {};
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  // The command name (field 2) may hold spaces: the fields after it are counted from its closing ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  for (int n = 3; n < 22 && fields >> field; ++n) {
  }
  unsigned long long started = 0;
  fields >> started;
  return {pid, started};
}

}  // namespace cloudsim
