#pragma once
// The request bodies the emulator accepts, one table for every route: each body is named by the
// model the cloud's API reference and SDK give it (e.g. CreateVolumeDetails), with the fields it
// requires and the ones it may carry besides, and the nested objects the routes read (a volume's
// sourceDetails, a launch's createVnicDetails, ...) under the model of each of their kinds.
// `cloud-sim api-models` prints the table, so that it can be held against the SDK's models.
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cloudsim {

using json = nlohmann::json;
struct SApiCall;

struct SRequestModel {
  std::string name;  // the SDK's model name
  std::set<std::string> required, optional;
  // A nested object: the field of its parent model that holds it ("CreateVolumeDetails.sourceDetails")
  // and, for one kind of several, the value of its discriminator ("type=volume"); empty for a body.
  std::string in{}, when{};
};

const std::vector<SRequestModel>& RequestModels();
// The model of that name; a name outside the table is a programming error (std::out_of_range).
const SRequestModel& RequestModel(const std::string& name);
// The request's body checked against the body model `name` (see SApiCall::Body).
json ModelBody(const SApiCall& call, const std::string& name);
// The table as JSON: [{"name", "required", "optional", "in", "when"}...].
json RequestModelsJson();

}  // namespace cloudsim
