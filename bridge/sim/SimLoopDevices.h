#pragma once
// A volume attached to the proxy is a kernel block device: its file bound to a loop device. Loop devices
// are the machine's, shared by every process and every sandbox on it, so a binding takes a free device
// the kernel hands out (made through /dev/loop-control when none is free) and tries again when another
// process took it first; a release clears a device only while it is still bound to the file it was
// bound to. A sandbox made with file links (a machine without loop devices) links the files instead.
#include <string>
#include <vector>

#include "bridge/sim/SimDb.h"

namespace sim {

// The cloud setting that keeps file links: "files"; absent, attachments are loop devices.
constexpr const char* kMetaProxyDevices = "proxy_devices";
constexpr const char* kProxyDevicesFiles = "files";

// Binds `file` to a free loop device and returns the device's path ("/dev/loopN"). Throws CSimError
// naming the file and the cause.
std::string BindLoopDevice(const std::string& file);

// Releases `device` if it is bound to `file` (also when that file was deleted since); a device bound to
// another file, or to none, is left alone. True when no binding of `file` to `device` remains.
bool ReleaseLoopDevice(const std::string& device, const std::string& file);

struct SBoundLoop {
  std::string device;  // "/dev/loopN"
  std::string file;    // as the kernel names it, " (deleted)" when it is gone
};

// The loop devices bound to files under `folder`.
std::vector<SBoundLoop> LoopDevicesUnder(const std::string& folder);
// The loop devices bound to any sandbox's volume files (a file under ".../cloud/volumes/").
std::vector<SBoundLoop> SandboxLoopDevices();
// Releases every loop device bound to a file under `folder`; the ones that stay bound.
std::vector<SBoundLoop> ReleaseLoopDevicesUnder(const std::string& folder);

// Whether the sandbox keeps file links, read inside a transaction of its cloud.
bool KeepsFileLinks(CSimDb& db);
// What a volume's file becomes on the proxy: a bound loop device, or with file links the file itself.
std::string ProxyDeviceFor(bool fileLinks, const std::string& file);
// Undoes ProxyDeviceFor: releases `device` when it is a loop device bound to `file`.
void ReleaseProxyDevice(const std::string& device, const std::string& file);

}  // namespace sim
