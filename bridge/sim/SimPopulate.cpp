#include "bridge/sim/SimPopulate.h"

#include "bridge/sim/CloudSeeder.h"
#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimVolumeStore.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/HostClock.h"

namespace sim {

void Populate(CSimCloud& cloud, int64_t compartments, int64_t instancesEach) {
  if (compartments < 1 || instancesEach < 0 || compartments > kPopulateMaxInstances ||
      instancesEach > kPopulateMaxInstances || compartments * instancesEach > kPopulateMaxInstances) {
    throw CSimError("Populate needs 1 or more compartments and 0 or more instances each, at most " +
                    std::to_string(kPopulateMaxInstances) + " instances in all");
  }
  const SFlavourWords& w = cloud.Words();
  const bool classic = cloud.Flavour() == EFlavour::Classic;
  int64_t now = HostClock::Now();
  CNewFiles files(cloud);
  cloud.Write([&](CSimDb& db) {
    CIdMaker ids(db, cloud.Flavour());
    std::string region = db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaDefaultRegion);
    const int64_t bootBytes = std::stoll(db.QueryText(
        "SELECT value FROM meta WHERE key = ?", std::to_string(kDefaultBootVolumeMiB * kMiB), kMetaBootVolumeBytes));
    std::string ad =
        db.QueryText("SELECT name FROM availability_domains WHERE region = ? ORDER BY name LIMIT 1", "", region);
    CSimStatement image = db.Prepare(
        "SELECT id, launch_mode FROM images WHERE region = ? AND state = ? AND compartment_id = '' ORDER BY name "
        "LIMIT 1");
    image.BindAll(region, w.imageAvailable);
    if (ad.empty() || !image.Step()) throw CSimError("The default region has no availability domain or no image");
    std::string imageId = image.Text(0), launchMode = image.Text(1);
    CSimStatement shape =
        db.Prepare("SELECT name, cpus, memory_mb FROM shapes WHERE flexible = 0 ORDER BY cpus LIMIT 1");
    if (!shape.Step()) throw CSimError("The cloud has no fixed shape");
    std::string shapeName = shape.Text(0);
    int64_t cpus = shape.Int(1), memoryMb = shape.Int(2);

    int64_t first = db.QueryInt("SELECT COUNT(*) FROM compartments WHERE name LIKE 'populated-%'", 0) + 1;
    for (int64_t c = first; c < first + compartments; ++c) {
      std::string compartmentName = "populated-" + std::to_string(c);
      std::string compartment = classic ? ids.ClassicPath(compartmentName) : NewOcid("compartment", "");
      db.Run("INSERT INTO compartments(id, name, description) VALUES (?, ?, 'Populated for scale tests')", compartment,
             compartmentName);
      for (int64_t i = 1; i <= instancesEach; ++i) {
        std::string name = compartmentName + "-vm-" + std::to_string(i);
        std::string id = ids.Instance(ad);
        std::string bootName = classic ? name + "_storage" : name + " (Boot Volume)";
        std::string boot = ids.Volume(bootName, ad, true);
        std::string file = SafeFileName(boot, ".img");
        CreateSparseFile(files.Add(file), static_cast<uint64_t>(bootBytes));
        db.Run(
            "INSERT INTO volumes(id, display_name, compartment_id, ad, size_bytes, state, is_boot, bootable, image_id, "
            "file, created) VALUES (?, ?, ?, ?, ?, ?, 1, 1, ?, ?, ?)",
            boot, bootName, compartment, ad, bootBytes, w.volumeAvailable, imageId, file, now);
        db.Run(
            "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, image_id, "
            "launch_mode, boot_volume_id, created) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            id, name, ids.InstanceUri(name, id), compartment, ad, region, shapeName, cpus, memoryMb, w.instanceRunning,
            imageId, launchMode, boot, now);
      }
    }
  });
  files.Keep();
}

}  // namespace sim
