#pragma once
// The marks every resource a job creates carries in the cloud (freeform tags), so that the leftovers
// of a job are found again when the registry that recorded them is lost: the proxy that made it, and
// the job that made it (ProcessIdentity: tells whether the job still runs). A result loses the job's
// mark when it is handed over; what carries both marks is a job's work in progress.
namespace JobTags {
constexpr const char* kProxy = "BackupProxy";
constexpr const char* kJob = "BackupJob";
}  // namespace JobTags
