#pragma once
// Printing host records for people and as JSON.
#include <nlohmann/json.hpp>

#include "host/VMInfoStructs.h"

namespace agent {

nlohmann::json DiskToJson(const VMInfoStructs::SDisk& disk);
nlohmann::json VmToJson(const VMInfoStructs::SVMInfo& vm);
void PrintVm(const VMInfoStructs::SVMInfo& vm, const char* title);

}  // namespace agent
