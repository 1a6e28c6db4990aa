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

// Digits without a leading zero that fit in 64 bits: sizes, counts, seconds and versions.
bool IsWholeNumber(const std::string& value) {
  if (value.empty() || value.size() > 18 || (value[0] == '0' && value.size() > 1)) return false;
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
    return UsageFailure("Unknown setting [" + key +
                        "]: use slot_limit, provision_seconds.<instance|volume|snapshot|"
                        "attachment|image> or iscsi.reported_<iqn|portal|port>");
  }
  if (!IsCount(value))
    return UsageFailure("The value of [" + key + "] must be a whole number (0 to 999999999), not [" + value + "]");
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
    STable table =
        cloud->Read([](sim::CSimDb& db) { return QueryTable(db, "SELECT key, value FROM meta ORDER BY key"); });
    if (!json) {
      PrintTable(table, false);
      return 0;
    }
    // Whole numbers print as numbers; the settings that take any text stay texts.
    nlohmann::json out = nlohmann::json::object();
    for (const auto& row : table.rows) {
      const std::string key = row[0].get<std::string>();
      const std::string value = row[1].is_string() ? row[1].get<std::string>() : "";
      const bool number = !IsTextKey(key) && IsWholeNumber(value);
      out[key] = number ? nlohmann::json(std::stoll(value)) : row[1];
    }
    PrintJson(out);
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
