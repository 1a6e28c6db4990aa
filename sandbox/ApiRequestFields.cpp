#include "ApiRequestFields.h"

#include "ApiServer.h"

namespace cloudsim {

std::string StringField(const json& object, const std::string& field) {
  if (!object.is_object() || !object.contains(field) || object[field].is_null()) return "";
  if (!object[field].is_string()) throw CApiRefusal(400, "InvalidParameter", "The field [" + field + "] is no string");
  return object[field].get<std::string>();
}

double NumberField(const json& object, const std::string& field) {
  if (!object.is_object() || !object.contains(field) || object[field].is_null()) return 0;
  if (!object[field].is_number()) throw CApiRefusal(400, "InvalidParameter", "The field [" + field + "] is no number");
  return object[field].get<double>();
}

}  // namespace cloudsim
