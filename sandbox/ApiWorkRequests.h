#pragma once
// Work requests of image imports. A work request's id is made from its image's id and read back from it,
// so that the emulator keeps nothing of its own for it and a restarted emulator still answers it.
#include <string>

namespace cloudsim {

// "ocid1.coreservicesworkrequest.oc1.<region>.<unique>" of the image "ocid1.image.oc1.<region>.<unique>".
std::string WorkRequestIdOfImage(const std::string& imageId);
// The image a work request id was made from; empty for any other id.
std::string ImageIdOfWorkRequest(const std::string& workRequestId);

}  // namespace cloudsim
