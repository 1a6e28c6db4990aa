#pragma once
// Object storage and image imports. An uploaded object's bytes live under objects/; an import
// turns an object into a custom image that is importing for the image provisioning time. Refusals
// are thrown as CSimRefused naming the bucket, object or image.
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

class CSimImages {
 public:
  explicit CSimImages(CSimCloud& cloud) : cloud_(cloud) {}

  // Stores `contents` as the object, replacing an object of that name.
  void Upload(const std::string& bucket, const std::string& object, const std::string& contents, const std::string& op);
  void DeleteObject(const std::string& bucket, const std::string& object, const std::string& op);
  // Starts the import of the object as an image of the compartment in the default region; returns
  // its id. launchMode: NATIVE, EMULATED, PARAVIRTUALIZED or CUSTOM (empty: NATIVE). `faulty`:
  // the import ends faulty.
  std::string Import(const std::string& bucket, const std::string& object, const std::string& imageName,
                     const std::string& launchMode, const std::string& compartmentId, bool faulty,
                     const std::string& op);
  // True once the image is available; false while it imports; refused when the import failed.
  bool ImportCompleted(const std::string& imageId);
  // Deletes an image of a compartment; the platform's images cannot be deleted.
  void Delete(const std::string& imageId, const std::string& op);
  bool ImageExists(const std::string& imageId);
  // Refused when the bucket does not exist.
  bool ObjectExists(const std::string& bucket, const std::string& object);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
