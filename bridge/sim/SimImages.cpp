#include "bridge/sim/SimImages.h"

#include <unistd.h>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimSandboxPaths.h"
#include "host/HostClock.h"

namespace sim {

namespace {

constexpr const char* kLaunchModes[] = {"NATIVE", "EMULATED", "PARAVIRTUALIZED", "CUSTOM"};

std::string ObjectKey(const std::string& bucket, const std::string& object) { return bucket + "/" + object; }

void RequireBucket(CSimDb& db, const std::string& bucket) {
  if (db.QueryInt("SELECT COUNT(*) FROM buckets WHERE name = ?", 0, bucket) == 0) {
    throw CSimRefused("Bucket [" + bucket + "] was not found");
  }
}

[[noreturn]] void ObjectNotFound(const std::string& bucket, const std::string& object) {
  throw CSimRefused("Object [" + object + "] was not found in bucket [" + bucket + "]");
}

}  // namespace

void CSimImages::Upload(const std::string& bucket, const std::string& object, const std::string& contents,
                        const std::string& op) {
  if (object.empty()) throw CSimRefused("No object name was given for bucket [" + bucket + "]");
  cloud_.Read([&](CSimDb& db) { RequireBucket(db, bucket); });
  int64_t now = HostClock::Now();
  // Each upload gets a file of its own, so a replaced object's bytes stay whole until the commit.
  std::string file = SafeFileName(ObjectKey(bucket, object) + "#" + RandomToken(8), ".obj");
  std::string path = cloud_.ObjectsDir() + "/" + file;
  WriteFileAtomically(path, contents);
  std::string replaced;
  try {
    replaced = cloud_.Write([&](CSimDb& db) {
      RequireBucket(db, bucket);
      std::string old = db.QueryText("SELECT file FROM objects WHERE bucket = ? AND name = ?", "", bucket, object);
      db.Run("INSERT OR REPLACE INTO objects(bucket, name, size_bytes, file, created) VALUES (?, ?, ?, ?, ?)", bucket,
             object, static_cast<int64_t>(contents.size()), file, now);
      RecordCreated(db, kKindObject, ObjectKey(bucket, object), object, op, now);
      return old;
    });
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
  if (!replaced.empty()) ::unlink((cloud_.ObjectsDir() + "/" + replaced).c_str());
}

void CSimImages::DeleteObject(const std::string& bucket, const std::string& object, const std::string& op) {
  int64_t now = HostClock::Now();
  std::string file = cloud_.Write([&](CSimDb& db) {
    std::string found = db.QueryText("SELECT file FROM objects WHERE bucket = ? AND name = ?", "", bucket, object);
    if (found.empty()) ObjectNotFound(bucket, object);
    db.Run("DELETE FROM objects WHERE bucket = ? AND name = ?", bucket, object);
    RecordDeleted(db, kKindObject, ObjectKey(bucket, object), op, now);
    return found;
  });
  ::unlink((cloud_.ObjectsDir() + "/" + file).c_str());
}

std::string CSimImages::Import(const std::string& bucket, const std::string& object, const std::string& imageName,
                               const std::string& launchMode, const std::string& compartmentId, bool faulty,
                               const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  if (imageName.empty()) throw CSimRefused("No name was given for the image imported from [" + object + "]");
  std::string mode = launchMode.empty() ? "NATIVE" : launchMode;
  bool known = false;
  for (const char* m : kLaunchModes) known = known || mode == m;
  if (!known) {
    throw CSimRefused("Launch mode [" + launchMode + "] of image [" + imageName +
                      "] is not one of NATIVE, EMULATED, PARAVIRTUALIZED, CUSTOM");
  }
  int64_t now = HostClock::Now();
  return cloud_.Write([&](CSimDb& db) {
    CSimStatement source = db.Prepare("SELECT size_bytes FROM objects WHERE bucket = ? AND name = ?");
    source.BindAll(bucket, object);
    if (!source.Step()) ObjectNotFound(bucket, object);
    int64_t size = source.Int(0);
    if (db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
      throw CSimRefused("Compartment [" + compartmentId + "] was not found");
    }
    std::string region = db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaDefaultRegion);
    std::string id = CIdMaker(db, cloud_.Flavour()).Image(imageName, region);
    int64_t seconds = ProvisionSeconds(db, kKindImage);
    const char* state = seconds > 0 ? w.imageProvisioning : (faulty ? w.imageFaulty : w.imageAvailable);
    db.Run(
        "INSERT INTO images(id, name, region, image_key, compartment_id, launch_mode, state, size_bytes, "
        "source_bucket, source_object, fault, created, ready_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        id, imageName, region, "imported-" + RandomToken(16), compartmentId, mode, state, size, bucket, object, faulty,
        now, now + seconds);
    RecordCreated(db, kKindImage, id, imageName, op, now);
    return id;
  });
}

bool CSimImages::ImportCompleted(const std::string& imageId) {
  const SFlavourWords& w = cloud_.Words();
  std::string state =
      cloud_.Read([&](CSimDb& db) { return db.QueryText("SELECT state FROM images WHERE id = ?", "", imageId); });
  if (state.empty()) throw CSimRefused("Image with id [" + imageId + "] was not found");
  if (state == w.imageAvailable) return true;
  if (state == w.imageProvisioning) return false;
  throw CSimRefused("The import of image [" + imageId + "] failed: it is " + state);
}

void CSimImages::Delete(const std::string& imageId, const std::string& op) {
  int64_t now = HostClock::Now();
  cloud_.Write([&](CSimDb& db) {
    CSimStatement stmt = db.Prepare("SELECT compartment_id FROM images WHERE id = ?");
    stmt.BindAll(imageId);
    if (!stmt.Step()) throw CSimRefused("Image with id [" + imageId + "] was not found");
    if (stmt.Text(0).empty()) throw CSimRefused("Image [" + imageId + "] is a platform image and cannot be deleted");
    db.Run("DELETE FROM images WHERE id = ?", imageId);
    db.Run("DELETE FROM image_shapes WHERE image_id = ?", imageId);
    RecordDeleted(db, kKindImage, imageId, op, now);
  });
}

bool CSimImages::ImageExists(const std::string& imageId) {
  return cloud_.Read(
      [&](CSimDb& db) { return db.QueryInt("SELECT COUNT(*) FROM images WHERE id = ?", 0, imageId) > 0; });
}

bool CSimImages::ObjectExists(const std::string& bucket, const std::string& object) {
  return cloud_.Read([&](CSimDb& db) {
    RequireBucket(db, bucket);
    return db.QueryInt("SELECT COUNT(*) FROM objects WHERE bucket = ? AND name = ?", 0, bucket, object) > 0;
  });
}

}  // namespace sim
