// Block storage: volumes, boot volumes, their backups and attachments.
#include "ApiServer.h"

namespace cloudsim {

void AddBlockStorageRoutes(CApiServer&) {}

}  // namespace cloudsim
