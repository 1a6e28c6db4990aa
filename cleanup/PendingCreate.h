#pragma once
// A create about to be requested from the cloud, recorded in the registry under the job's root
// before the request, keyed by the kind of the resource, the time and the name it will carry. A job
// killed after the cloud accepted the create and before the resource was registered thus leaves
// a trace from which the sweep of the dead job finds the resource and removes it: one of that name
// that the proxy made since that time, registered nowhere and awaited by no live job.
//
// Every create site uses it the same way:
//   CPendingCreate pending(cleaner, mode, rootName, VM_CLEANER_ENTITY_SNAPSHOT, name);
//   if (!pending.Recorded()) -> do not request the create;
//   request the create; on success register the resource under its own kind, then pending.Done().
// A create that failed keeps its record: the cloud may still have made the resource, and the
// job's clean-up looks it up by name like the sweep does.
#include <string>

#include "cleanup/OracleCloudCleaner.h"

class CPendingCreate {
 public:
  CPendingCreate(COracleCloudCleaner& cleaner, VM_Cleaner_Mode mode, string rootName, VM_Cleaner_EntityType kind,
                 string name);
  CPendingCreate(const CPendingCreate&) = delete;
  CPendingCreate& operator=(const CPendingCreate&) = delete;

  // False when the record could not be written; the create must then not be requested.
  bool Recorded() const { return recorded_; }
  // The resource is registered under its own kind: the record has served and goes.
  bool Done();

 private:
  COracleCloudCleaner& cleaner_;
  VM_Cleaner_Mode mode_;
  string rootName_;
  VM_Cleaner_EntityType kind_;
  string name_;
  INT64 since_;  // when the create was about to be requested
  bool recorded_ = false;
};
