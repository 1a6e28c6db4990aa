#pragma once
// Fields of a request's JSON body as the routes read them: absent or null reads as empty, a value of
// another type is refused with 400 InvalidParameter.
#include <string>

#include <nlohmann/json.hpp>

namespace cloudsim {

using json = nlohmann::json;

// A string field of `object` (a body or one of its objects); empty when absent or null.
std::string StringField(const json& object, const std::string& field);
// A number field of `object`, e.g. shapeConfig's ocpus; 0 when absent or null.
double NumberField(const json& object, const std::string& field);

}  // namespace cloudsim
