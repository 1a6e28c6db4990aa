#pragma once
// What both tools print for a script: one JSON value on stdout, indented, flushed; a text that is not
// UTF-8 shows U+FFFD where its bytes were.
#include <nlohmann/json.hpp>

namespace cli {

void PrintJson(const nlohmann::json& value);

}  // namespace cli
