#pragma once
// What every fuzz target shares (one per program): the input as text, split into fields at NUL bytes where a target
// feeds several parsers at once, and a check that stops the run when a property fails.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/EvDebug.h"

// The log lines a parser writes are not kept: a sink that grows from run to run would look like a
// leak to every run's leak check.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EvLogSink::SetCapacity(0);
  return 0;
}

namespace fuzz {

inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The input cut at each NUL into `count` fields; missing fields are empty.
inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(count);
  size_t field = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && field + 1 < count)
      ++field;
    else
      fields[field] += static_cast<char>(data[i]);
  }
  return fields;
}

// A property of the parser that must hold for every input: a crash with the input saved otherwise.
inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n", property);
  std::abort();
}

}  // namespace fuzz
