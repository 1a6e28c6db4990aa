#include "agent/NumberOption.h"

#include "agent/DisplayText.h"

bool ParseDecimalOption(const string& option, const string& text, long long minimum, long long maximum,
                        long long& value, string& error) {
  const string shown = option + " [" + EscapeForDisplay(text) + "]";
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
