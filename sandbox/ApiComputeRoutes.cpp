// Compute: instances, their actions and VNICs, shapes, subnets and security lists.
#include "ApiServer.h"

namespace cloudsim {

void AddComputeRoutes(CApiServer&) {}

}  // namespace cloudsim
