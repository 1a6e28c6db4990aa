#pragma once
// The sandbox around a simulated cloud: <sandbox>/cloud is the cloud, <sandbox>/root the proxy's
// platform root. Attachments to the proxy show up there as devices, and the iSCSI targets they
// offer are files under cloud/iscsi that the sandbox's iscsiadm reads.
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr const char* kIqnPrefix = "iqn.2015-12.com.oracleiaas:";
constexpr const char* kIscsiPort = "3260";

// <sandbox>/root; the folder need not exist (a bare cloud has no proxy around it).
std::string SandboxRootOf(const CSimCloud& cloud);
// <sandbox>/root/dev/disk/by-path, where the proxy's disk mapper looks for new devices.
std::string DeviceDirOf(const CSimCloud& cloud);
std::string IscsiTargetsDir(const CSimCloud& cloud);   // offered targets, one file per IQN
std::string IscsiNodesDir(const CSimCloud& cloud);     // node records of the initiator
std::string IscsiSessionsDir(const CSimCloud& cloud);  // logged-in sessions
// Sessions that a detach cut while they were logged in (the proxy may have lost writes to them).
std::string IscsiCutSessionsDir(const CSimCloud& cloud);

// The id of the instance the sandbox's root stands for, as the machine itself tells it
// (cloud-init's instance id, or the classic BIOS UUID in lower case); empty when there is none.
std::string ProxyInstanceId(const CSimCloud& cloud);

// The device link of a paravirtualized attachment of `volumeId` to the proxy.
std::string VirtioLinkPath(const CSimCloud& cloud, const std::string& volumeId);

// Creates the symbolic link `link` -> `target`, replacing a stale link of that name.
void MakeSymlink(const std::string& target, const std::string& link);
// Writes `contents` to `path` through a temporary file and a rename.
void WriteFileAtomically(const std::string& path, const std::string& contents);

}  // namespace sim
