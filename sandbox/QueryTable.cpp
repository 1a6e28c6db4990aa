#include "QueryTable.h"

#include <algorithm>

namespace cloudsim {

namespace {

bool IsFlagColumn(const std::string& name) { return name.rfind("is_", 0) == 0 || name == "flexible"; }

std::string CellText(const nlohmann::json& cell) {
  if (cell.is_string()) return cell.get<std::string>();
  if (cell.is_null()) return "";
  return cell.dump();
}

}  // namespace

STable QueryTable(sim::CSimDb& db, const std::string& sql) {
  STable table;
  sim::CSimStatement stmt = db.Prepare(sql);
  for (int i = 0; i < stmt.ColumnCount(); ++i) table.columns.push_back(stmt.ColumnName(i));
  while (stmt.Step()) {
    std::vector<nlohmann::json> row;
    for (int i = 0; i < stmt.ColumnCount(); ++i) {
      if (IsFlagColumn(table.columns[i])) {
        row.emplace_back(stmt.Int(i) != 0);
      } else if (stmt.IsInteger(i)) {
        row.emplace_back(stmt.Int(i));
      } else if (stmt.IsNull(i)) {
        row.emplace_back(nullptr);
      } else {
        row.emplace_back(stmt.Text(i));
      }
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

nlohmann::json TableToJson(const STable& table) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& row : table.rows) {
    nlohmann::json object = nlohmann::json::object();
    for (size_t i = 0; i < table.columns.size(); ++i) object[table.columns[i]] = row[i];
    out.push_back(std::move(object));
  }
  return out;
}

std::string FormatTable(const STable& table) {
  std::vector<size_t> widths;
  for (const auto& column : table.columns) widths.push_back(column.size());
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], CellText(row[i]).size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text += std::string(widths[i] - cells[i].size() + 2, ' ');
    }
    return text + "\n";
  };
  std::string out = line(table.columns);
  for (const auto& row : table.rows) {
    std::vector<std::string> cells;
    cells.reserve(row.size());
    for (const auto& cell : row) cells.push_back(CellText(cell));
    out += line(cells);
  }
  return out;
}

}  // namespace cloudsim
