#pragma once
// Ids of new resources in the flavour's form, and the bookkeeping of what the bridge made on
// behalf of jobs (created_resources), from which leftovers are told apart from what was cleaned
// up.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimFlavour.h"
#include "bridge/sim/SimLifecycle.h"

namespace sim {

constexpr const char* kKindVnic = "vnic";
constexpr const char* kKindObject = "object";

struct SCreatedResource {
  std::string kind, id, name, op;
  int64_t pid = 0;
  int64_t created = 0;
  int64_t deleted = 0;  // 0 while the resource exists
  std::string deletedOp;
};

// The request token of the creates this thread makes next (empty: none); each resource noted by
// RecordCreated carries it as its freeform tag kRequestTokenTag (SimTags.h).
void SetCreateToken(const std::string& token);
const std::string& CreateToken();

// The process a request of the calling thread comes from, when it is not this one (the emulator serves
// other processes); 0: this process.
void SetCallerPid(int64_t pid);

// Notes a resource made by `op` of this process (or of the caller's, SetCallerPid); an empty `op` is an operator's
// (cloud-sim's) doing, not a job's, and is not noted.
void RecordCreated(CSimDb& db, const std::string& kind, const std::string& id, const std::string& name,
                   const std::string& op, int64_t now);
// Notes that a resource went; a resource the bridge did not make (seeded, added by an operator)
// has no row and is left alone.
void RecordDeleted(CSimDb& db, const std::string& kind, const std::string& id, const std::string& op, int64_t now);
// Everything the bridge made, oldest first; onlyLeft: only what still exists.
std::vector<SCreatedResource> ListCreatedResources(CSimDb& db, bool onlyLeft);

// Makes ids the way each flavour's cloud does: infrastructure "ocid1.<kind>.oc1.<region>.<random>",
// classic names under the account's container (made unique when the name is taken).
class CIdMaker {
 public:
  CIdMaker(CSimDb& db, EFlavour flavour) : db_(db), classic_(flavour == EFlavour::Classic) {}

  std::string RegionOfAd(const std::string& ad);
  // The short lower-case code of the region (its key), for ocids.
  std::string RegionCode(const std::string& region);
  // "/Compute-<domain>/<user>/<name>".
  std::string ClassicPath(const std::string& name);

  std::string Volume(const std::string& name, const std::string& ad, bool boot);
  std::string Snapshot(const std::string& volumeId, const std::string& name, const std::string& ad, bool boot);
  std::string Instance(const std::string& ad);
  std::string InstanceUri(const std::string& name, const std::string& id);
  std::string Attachment(const std::string& instanceUri, const std::string& ad);
  std::string Vnic(const std::string& instanceUri, const std::string& ad);
  std::string Image(const std::string& name, const std::string& region);

 private:
  std::string Ocid(const char* kind, const std::string& ad);
  // `id`, or `id` with a random suffix when `table` already holds it.
  std::string Unique(const char* table, const std::string& id);

  CSimDb& db_;
  bool classic_;
};

}  // namespace sim
