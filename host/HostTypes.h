#pragma once
// Basic types of the agent framework.
#include <cstdint>
#include <string>

typedef uint64_t UINT64;
typedef int64_t INT64;
typedef uint32_t UINT32;

// The framework's own name for its string type: signatures, and so the log tags taken from them,
// read "const string&".
typedef std::string string;

enum VirtualServerInstanceType : int32_t {
  VSINST_UNKNOWN = 0,
  VSINST_ORACLE_CLOUD_CLASSIC = 1101,
  VSINST_ORACLE_CLOUD_INFRASTRUCTURE = 1102,
};
