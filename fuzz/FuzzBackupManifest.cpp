// A stored backup's manifest.json, as a restore reads it: whatever it says, no stored disk or file
// the restore would open lies outside the backup's folder.
#include "FuzzInput.h"
#include "agent/jobs/RestoreSource.h"

using namespace agent;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string folder = "/backups/7-web";
  SRestoreSource source;
  string error;
  if (!ParseRestoreSource(fuzz::Text(data, size), folder, source, error)) {
    fuzz::Require(!error.empty(), "a refusal says why");
    return 0;
  }
  auto inside = [&](const std::string& path) {
    return path.rfind(folder + "/", 0) == 0 && path.find("/../") == std::string::npos &&
           path.find('\0') == std::string::npos;
  };
  for (const auto& disk : source.disks) fuzz::Require(inside(disk.path), "a stored disk lies inside the folder");
  for (const auto& file : source.files) fuzz::Require(inside(file.path), "a stored file lies inside the folder");
  return 0;
}
