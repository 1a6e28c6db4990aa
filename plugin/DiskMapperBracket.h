#pragma once
// Scope guards for the disk mapper's brackets. The mapper holds a lock (in this process and across
// the proxy) from a pre-call to its post-call; these guards make the post-call on every road out of
// the scope, an exception included, so no road can leave the lock taken.
#include "plugin/DiskMapper.h"

// PreAttachDisk() on construction. Closing with FindDevice() makes the post-call that looks for the
// attachment's device; any other road out makes the post-call that closes a failed attach.
class CAttachBracket {
 public:
  CAttachBracket(CDiskMapper& mapper, const string& volumeId)
      : mapper_(mapper), volumeId_(volumeId), open_(mapper.PreAttachDisk()) {}
  ~CAttachBracket() { CloseFailed(); }
  CAttachBracket(const CAttachBracket&) = delete;
  CAttachBracket& operator=(const CAttachBracket&) = delete;

  bool IsOpen() const { return open_; }
  // The attach went through: PostAttachDisk(volume, device, size, false).
  bool FindDevice(string& deviceName, UINT64& size) {
    if (!open_) return false;
    open_ = false;
    return mapper_.PostAttachDisk(volumeId_, deviceName, size, false);
  }
  // The attach failed: PostAttachDisk(volume, ..., true), result ignored.
  void CloseFailed() {
    if (!open_) return;
    open_ = false;
    string deviceName;
    UINT64 size = 0;
    mapper_.PostAttachDisk(volumeId_, deviceName, size, true);
  }

 private:
  CDiskMapper& mapper_;
  const string volumeId_;
  bool open_;
};

// PreDetatchDisk(name) on construction, PostDetatchDisk() when the scope ends.
class CDetachBracket {
 public:
  CDetachBracket(CDiskMapper& mapper, const string& deviceName)
      : mapper_(mapper), open_(mapper.PreDetatchDisk(deviceName)) {}
  ~CDetachBracket() { Close(); }
  CDetachBracket(const CDetachBracket&) = delete;
  CDetachBracket& operator=(const CDetachBracket&) = delete;

  bool IsOpen() const { return open_; }
  // PostDetatchDisk() now; its result.
  bool Close() {
    if (!open_) return true;
    open_ = false;
    return mapper_.PostDetatchDisk();
  }

 private:
  CDiskMapper& mapper_;
  bool open_;
};
