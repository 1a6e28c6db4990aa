#include "bridge/sim/SimConfigurations.h"

#include "bridge/ClassicConfigurations.h"
#include "bridge/InstanceConfiguration.h"
#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SimResources.h"

namespace sim {

using VMInfoStructs::SVMInfo;

std::map<std::string, std::string> InstanceConfigurations(CSimCloud& cloud, const std::string& idOrUri) {
  const SFlavourWords& words = cloud.Words();
  EFlavour flavour = cloud.Flavour();
  return cloud.Read([&](CSimDb& db) {
    if (idOrUri.empty()) throw CSimRefused("No instance id was given");
    std::string id = db.QueryText("SELECT id FROM instances WHERE id = ? OR uri = ? ORDER BY id = ? DESC LIMIT 1", "",
                                  idOrUri, idOrUri, idOrUri);
    if (id.empty()) throw CSimRefused("Instance with id [" + idOrUri + "] was not found");
    SVMInfo vm;
    std::string error;
    SInstanceParts parts;
    parts.disks = true;
    parts.network = true;
    if (!ReadInstanceRecordIn(db, words, "", id, parts, vm, error)) throw CSimRefused(error);
    if (flavour == EFlavour::Classic) {
      CIdMaker ids(db, flavour);
      return OracleCloudSDKCppBridge::ClassicConfigurations(ids.ClassicPath(""), vm);
    }
    int64_t created = db.QueryInt("SELECT created FROM instances WHERE id = ?", 0, id);
    return std::map<std::string, std::string>{
        {".json", OracleCloudSDKCppBridge::InstanceConfigurationText(vm, created)}};
  });
}

}  // namespace sim
