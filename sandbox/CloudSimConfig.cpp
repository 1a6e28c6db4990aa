#include <cstdio>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "SandboxCloud.h"

namespace cloudsim {

namespace {

bool IsCount(const std::string& value) {
  if (value.empty() || value.size() > 9) return false;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The settings a user may change; the flavour and the schema version are fixed at creation.
bool IsSettableKey(const std::string& key) {
  if (key == sim::kMetaSlotLimit) return true;
  for (const char* kind : {"instance", "volume", "snapshot", "attachment", "image"}) {
    if (key == std::string(sim::kMetaProvisionPrefix) + kind) return true;
  }
  return false;
}

// Settings that take any text.
bool IsTextKey(const std::string& key) {
  return key == sim::kMetaReportedIqn || key == sim::kMetaReportedPortal || key == sim::kMetaReportedPort;
}

}  // namespace

int RunConfigSet(const std::string& sandbox, const std::string& key, const std::string& value) {
  if (IsTextKey(key)) {
    try {
      OpenSandboxCloud(sandbox)->SetMeta(key, value);
      return 0;
    } catch (const sim::CSimError& e) {
      return Failure(e.what());
    }
  }
  if (!IsSettableKey(key)) {
    return Failure("Unknown setting [" + key + "]: use slot_limit, provision_seconds.<instance|volume|snapshot|"
                   "attachment|image> or iscsi.reported_<iqn|portal|port>");
  }
  if (!IsCount(value)) return Failure("The value of [" + key + "] must be a whole number, not [" + value + "]");
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    cloud->SetMeta(key, value);
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunConfigList(const std::string& sandbox, bool json) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    STable table = cloud->Read([](sim::CSimDb& db) { return QueryTable(db, "SELECT key, value FROM meta ORDER BY key"); });
    if (json) {
      nlohmann::json out = nlohmann::json::object();
      for (const auto& row : table.rows) out[row[0].get<std::string>()] = row[1];
      printf("%s\n", out.dump(2).c_str());
    } else {
      fputs(FormatTable(table).c_str(), stdout);
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
