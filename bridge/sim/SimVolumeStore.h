#pragma once
// Rows and files of new volumes and snapshots. A file is made before the row that names it is
// committed; CNewFiles removes the files of a transaction that did not commit, and files of rows
// deleted are removed only after the deletion committed, so a row never names a missing file.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

class CNewFiles {
 public:
  explicit CNewFiles(CSimCloud& cloud) : cloud_(cloud) {}
  ~CNewFiles();
  CNewFiles(const CNewFiles&) = delete;
  CNewFiles& operator=(const CNewFiles&) = delete;
  // Remembers the file `file` (under volumes/) and returns its path.
  std::string Add(const std::string& file);
  // The transaction committed: the files stay.
  void Keep() { files_.clear(); }

 private:
  CSimCloud& cloud_;
  std::vector<std::string> files_;
};

// Removes files under volumes/ (after the rows naming them are gone); missing files are fine.
void RemoveVolumeFiles(CSimCloud& cloud, const std::vector<std::string>& files);

struct SNewVolume {
  std::string id, name, compartmentId, ad, description, imageId, sourceSnapshotId, file;
  uint64_t size = 0;
  bool boot = false;
  bool faulty = false;      // ends in the faulty state instead of available
  bool provisioned = true;  // false: usable at once, whatever the provisioning time
  bool copying = false;     // its bytes are being copied: provisioning until FinishVolumeCopy
};

// Inserts the row of a volume whose file exists: provisioning for the configured time (then
// available or faulty), or at once in its final state when that time is 0 or the volume is not
// `provisioned`; and records it as made by `op` (none: an operator's, not recorded).
void InsertVolume(CSimDb& db, const SFlavourWords& words, const SNewVolume& volume, int64_t now, const std::string& op);

// The bytes of a volume inserted `copying` are all there: it goes on as InsertVolume would have put
// it at `now` (provisioning for the configured time, or at once in its final state). A volume that
// is gone meanwhile is fine.
void FinishVolumeCopy(CSimDb& db, const SFlavourWords& words, const SNewVolume& volume, int64_t now);

// The name of the link a volume's file being copied keeps to the file it is copied from, so that the
// source's deletion meanwhile does not take its bytes: removed after the copy, and with the volume's
// files (RemoveVolumeFiles), should the copy never end.
std::string CopySourceFile(const std::string& file);

// OCI_SIM_KILL_AT=<step> ends the process at that step as a crash would: how a test reaches a window
// between two transactions that no fault rule can ("volume-copied": a volume's bytes copied, its
// row not yet told).
void SimKillPoint(const char* step);

struct SVolumeRow {
  std::string id, name, compartmentId, ad, state, file, description;
  uint64_t size = 0;
  bool boot = false;
};

// The volume with the id `id`; throws CSimRefused naming it when there is none.
SVolumeRow LoadVolume(CSimDb& db, const std::string& id);

// The instance the volume is attached to ("" when none).
std::string AttachedInstanceOf(CSimDb& db, const SFlavourWords& words, const std::string& volumeId);
// The instance whose boot volume it is ("" when none): an instance holds its boot volume until it
// is terminated, also when it was deleted with the boot volume preserved.
std::string BootInstanceOf(CSimDb& db, const SFlavourWords& words, const std::string& volumeId);

// The file holding the bytes of the volume or snapshot `id`, and its logical size.
struct SBytesFile {
  std::string path;
  uint64_t size = 0;
};
SBytesFile BytesFileOf(CSimCloud& cloud, const std::string& id);

}  // namespace sim
