#pragma once
// The one reader of the numbers the agent takes from outside: its numeric options and the numbers of
// a stored backup's records. A value within a range, nothing else.
#include <nlohmann/json.hpp>
#include <string>

#include "host/HostTypes.h"

namespace agent {

// Accepts only the digits 0-9 (no sign, blank, prefix or suffix) forming a value in [minimum,
// maximum]. On refusal `error` says why, naming the option and showing the text as given.
bool ParseDecimalOption(const string& option, const string& text, long long minimum, long long maximum,
                        long long& value, string& error);

// The same for a JSON value: an integer written as one (no fraction or exponent, so never converted
// from a floating-point number) in [minimum, maximum]. On refusal `error` names `field` and shows the
// value.
bool ReadWholeNumber(const nlohmann::json& number, const string& field, long long minimum, long long maximum,
                     long long& value, string& error);

}  // namespace agent
