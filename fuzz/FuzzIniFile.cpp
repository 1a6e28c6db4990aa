// The configuration file the agent and the plug-in read settings from: every value read is found
// again under its section and key, whatever their case, and never runs past its line.
#include "FuzzInput.h"
#include "host/CIniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CIniFile ini;
  ini.Parse("fuzz.ini", fuzz::Text(data, size));
  for (const auto& [key, value] : ini.Values()) {
    const size_t cut = key.find('\n');
    fuzz::Require(cut != std::string::npos && key.find('\n', cut + 1) == std::string::npos, "one section, one key");
    fuzz::Require(value.find('\n') == std::string::npos && (value.empty() || value.back() != '\r'),
                  "a value ends at its line, a CR before the line's end left out");
    string read;
    fuzz::Require(ini.Get(key.substr(0, cut), key.substr(cut + 1), read) && read == value, "a value is found again");
  }
  return 0;
}
