#pragma once
// Query results as printed by cloud-sim: an aligned text table, or a JSON array of objects whose
// keys are the query's column names.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridge/sim/SimDb.h"

namespace cloudsim {

struct STable {
  std::vector<std::string> columns;
  std::vector<std::vector<nlohmann::json>> rows;
};

// Integers stay numbers; columns named is_* or "flexible" become booleans.
STable QueryTable(sim::CSimDb& db, const std::string& sql);
nlohmann::json TableToJson(const STable& table);
std::string FormatTable(const STable& table);

}  // namespace cloudsim
