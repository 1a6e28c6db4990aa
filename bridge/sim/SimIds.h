#pragma once
// Ids of simulated resources and the file names that hold their bytes.
#include <string>

namespace sim {

// `length` random characters from [a-z0-9].
std::string RandomToken(size_t length);
// A random version-4 UUID in lower case.
std::string NewUuid();
// "ocid1.<kind>.oc1.<regionCode>.<random>"; an empty region code gives the tenancy-wide form
// "ocid1.<kind>.oc1..<random>".
std::string NewOcid(const std::string& kind, const std::string& regionCode);
// A file name for any id (ids may hold '/', ':' and other bytes unsafe in file names): the
// id's safe characters, for humans, then a hash of the whole id, for uniqueness.
std::string SafeFileName(const std::string& id, const std::string& extension);

}  // namespace sim
