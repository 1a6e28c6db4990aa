#pragma once
// Handles and cleaner paths of registry entities. Both name an entity by its mode and its chain of
// (type, name) pairs from the root, so that a child's handle follows from its parent's handle,
// type and name without consulting the store:
//   "/<mode>/<type>:<name>[/<type>:<name>...]"
// Names are percent-encoded outside [A-Za-z0-9._-], so any byte ('/', '+', ':', '%', spaces,
// UTF-8, NUL) survives the round trip.
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace CleanerHandle {

struct SSegment {
  int32_t type = 0;
  string name;
};

struct SParsed {
  int32_t mode = 0;
  std::vector<SSegment> chain;  // root first
};

string EncodeName(const string& name);
bool DecodeName(const string& encoded, string& name);
string Root(int32_t mode, int32_t type, const string& name);
string Child(const string& parentHandle, int32_t type, const string& name);
// False for anything that is not a well-formed handle.
bool Parse(const string& handle, SParsed& parsed);

}  // namespace CleanerHandle
