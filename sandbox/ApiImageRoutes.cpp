// Images and their import from Object Storage.
#include "ApiServer.h"

namespace cloudsim {

void AddImageRoutes(CApiServer&) {}

}  // namespace cloudsim
