#include "agent/jobs/NumberOption.h"

#include <climits>

#include "cli/DisplayText.h"

namespace agent {

bool ParseDecimalOption(const string& option, const string& text, long long minimum, long long maximum,
                        long long& value, string& error) {
  const string shown = option + " [" + cli::EscapeForDisplay(text) + "]";
  if (text.empty()) {
    error = shown + " is empty: give a decimal number";
    return false;
  }
  unsigned long long parsed = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      error = shown + " is not a plain decimal number";
      return false;
    }
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (parsed > (static_cast<unsigned long long>(maximum) - digit) / 10) {
      error = shown + " is past the maximum " + std::to_string(maximum);
      return false;
    }
    parsed = parsed * 10 + digit;
  }
  if (static_cast<long long>(parsed) < minimum) {
    error = shown + " is below the minimum " + std::to_string(minimum);
    return false;
  }
  value = static_cast<long long>(parsed);
  return true;
}

bool ReadWholeNumber(const nlohmann::json& number, const string& field, long long minimum, long long maximum,
                     long long& value, string& error) {
  const string text = number.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const string shown = field + " [" + cli::EscapeForDisplay(text) + "]";
  if (!number.is_number_integer()) {
    error = shown + " is not a plain integer";
    return false;
  }
  const bool huge =  // past the signed range, held unsigned
      number.is_number_unsigned() && number.get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX);
  if (huge || number.get<long long>() > maximum) {
    error = shown + " is past the maximum " + std::to_string(maximum);
    return false;
  }
  if (number.get<long long>() < minimum) {
    error = shown + " is below the minimum " + std::to_string(minimum);
    return false;
  }
  value = number.get<long long>();
  return true;
}

}  // namespace agent
