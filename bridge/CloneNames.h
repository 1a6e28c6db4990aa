#pragma once
// The names a clone of an instance gives the copies of its volumes, alike over both backends.
#include <string>

namespace OracleCloudSDKCppBridge {

// The copy of the boot volume of an infrastructure instance, named after the new instance.
inline std::string CloneBootVolumeName(const std::string& newInstance) { return newInstance + " (Boot Volume)"; }

// The copy of a data volume: the source instance's name at the start of the volume's name replaced by
// the new instance's, else the new instance's name put in front.
inline std::string CloneDataVolumeName(const std::string& volumeName, const std::string& sourceInstance,
                                       const std::string& newInstance) {
  if (volumeName.rfind(sourceInstance, 0) == 0) return newInstance + volumeName.substr(sourceInstance.size());
  return newInstance + "-" + volumeName;
}

}  // namespace OracleCloudSDKCppBridge
