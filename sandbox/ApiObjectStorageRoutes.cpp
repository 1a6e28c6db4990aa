// Object Storage: the namespace, buckets and objects.
#include "ApiServer.h"

namespace cloudsim {

void AddObjectStorageRoutes(CApiServer&) {}

}  // namespace cloudsim
