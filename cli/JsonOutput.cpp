#include "cli/JsonOutput.h"

#include <cstdio>

namespace cli {

void PrintJson(const nlohmann::json& value) {
  std::printf("%s\n", value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

}  // namespace cli
