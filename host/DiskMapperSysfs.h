#pragma once
// The kernel's block devices as sysfs shows them (/sys/block): the disks with a medium, their size and
// what tells them apart. The disk mapper notes them before and after an attach; the simulator finds the
// loop devices bound to its files through them.
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace blockdev {

struct SBlockDisk {
  string name;         // "loop3", "sdb"
  string path;         // "/dev/loop3"
  UINT64 size = 0;     // bytes
  string backingFile;  // a loop device's file (" (deleted)" when it is gone), else empty
  string identity;     // what tells this disk from another of the same name: its file, WWID or serial
};

// The disks with a medium (a size above zero) under `sysBlock`; an unbound loop device has none.
std::vector<SBlockDisk> ListDisks(const string& sysBlock = "/sys/block");

// The disk of a device node or of a link to one (a by-path name): false when `path` is no block device.
bool ReadDiskOf(const string& path, SBlockDisk& disk);

// Whether a disk belongs to the machine whose platform root is `root`. Under "/" every disk does. Several
// sandboxes share one kernel: under another root only the loop devices whose file lies in the folder
// around that root (the sandbox) are its disks.
bool OnMachine(const SBlockDisk& disk, const string& root);

}  // namespace blockdev
