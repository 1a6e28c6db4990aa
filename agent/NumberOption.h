#pragma once
// The one reader of the agent's numeric options: a plain decimal within a range, nothing else.
#include <string>

#include "host/HostTypes.h"

// Accepts only the digits 0-9 (no sign, blank, prefix or suffix) forming a value in [minimum,
// maximum]. On refusal `error` says why, naming the option and showing the text as given.
bool ParseDecimalOption(const string& option, const string& text, long long minimum, long long maximum,
                        long long& value, string& error);
