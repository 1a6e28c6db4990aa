#pragma once
// A create about to be requested from the cloud, recorded in the registry under the job's root
// before the request, keyed by the kind of the resource, a token unique to this request and the
// name the resource will carry. While the record lives, every create this thread requests carries
// the token (the bridge tags it), so a job killed after the cloud accepted the create and before the
// resource was registered leaves a trace from which the sweep of the dead job finds exactly what
// this request made, and nothing else: names are shared (an integrity snapshot's, a restored
// instance's) and clocks differ, a token is neither.
//
// Every create site uses it the same way:
//   CPendingCreate pending(cleaner, mode, rootName, VM_CLEANER_ENTITY_SNAPSHOT, name);
//   if (!pending.Recorded()) -> do not request the create;
//   request the create; on success register the resource under its own kind, then pending.Done().
// A create that failed keeps its record: the cloud may still have made the resource, and the
// job's clean-up looks it up by the token like the sweep does.
#include <string>

#include "cleanup/OracleCloudCleaner.h"

class CPendingCreate {
 public:
  CPendingCreate(COracleCloudCleaner& cleaner, VM_Cleaner_Mode mode, string rootName, VM_Cleaner_EntityType kind,
                 const string& name);
  // The thread's creates carry the token they carried before.
  ~CPendingCreate();
  CPendingCreate(const CPendingCreate&) = delete;
  CPendingCreate& operator=(const CPendingCreate&) = delete;

  // False when the record could not be written; the create must then not be requested.
  bool Recorded() const { return recorded_; }
  // The resource is registered under its own kind: the record has served and goes.
  bool Done();
  const string& Key() const { return key_; }

 private:
  COracleCloudCleaner& cleaner_;
  VM_Cleaner_Mode mode_;
  string rootName_;
  string key_;
  string previousToken_;
  bool recorded_ = false;
  bool tokenSet_ = false;
};
