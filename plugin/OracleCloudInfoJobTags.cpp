// The marks of a job's resources in the cloud, and the sweep that finds the leftovers of dead jobs by
// them when the registry that recorded those jobs is new (lost, damaged and set aside, or the first).
#include "host/FXString.h"
#include "host/ProcessIdentity.h"
#include "plugin/DiskMapperBracket.h"
#include "plugin/JobTags.h"
#include "plugin/OracleCloudInfo.h"
#include "util/IscsiUtils.h"

using OracleCloudSDKCppBridge::EResourceKind;
using OracleCloudSDKCppBridge::STaggedResource;

void COracleCloudInfo::StartJobTagging(bool sweep) {
  std::map<string, string> tags = {{JobTags::kProxy, FXString::ToLower(LocalVMGuid())}};
  const string job = ProcessIdentity::Current();
  // Without a job mark nothing is ever taken for a dead job's: the resource stays to the registry.
  if (!job.empty()) tags[JobTags::kJob] = job;
  bridge->SetResourceTags(tags);
  if (!sweep) return;
  _CleanupAllVMs();
  SweepUntrackedLeftovers();
}

void COracleCloudInfo::SweepUntrackedLeftovers() {
  const string proxyGuid = LocalVMGuid();
  if (proxyGuid.empty() || !cleaner.IsCloudSweepPending()) return;
  EVDEBUG(evDebug, "The registry is new: looking in the cloud for leftovers of this proxy's jobs");
  bool done = true;  // nothing is left that a later search must look at again
  // Instances first: the volumes they hold are free once they are gone.
  for (EResourceKind kind :
       {EResourceKind::Instance, EResourceKind::Volume, EResourceKind::VolumeSnapshot, EResourceKind::Image}) {
    std::vector<STaggedResource> found;
    if (!bridge->FindTaggedResources(kind, JobTags::kProxy, FXString::ToLower(proxyGuid), found)) {
      EVERROR(evDebug, "Failed to look for the leftovers of this proxy's jobs: %s", bridge->GetLastError().c_str());
      done = false;
      continue;
    }
    for (const STaggedResource& resource : found) {
      const auto job = resource.tags.find(JobTags::kJob);
      // Without the job's mark it was handed over; one the registry holds is a job's of this registry.
      if (job == resource.tags.end() || cleaner.IsRegisteredAnywhere(COracleCloudCleaner::EntityOf(kind), resource.id))
        continue;
      if (!ProcessIdentity::IsGone(job->second)) {
        done = false;
        continue;
      }
      EVDEBUG(evDebug, "Deleting [%s] named [%s], left by job [%s] that no registry knows", resource.id.c_str(),
              resource.name.c_str(), job->second.c_str());
      if (!DeleteUntrackedResource(kind, resource)) done = false;
    }
  }
  if (done) cleaner.PostCloudSweep();
}

bool COracleCloudInfo::DeleteUntrackedResource(EResourceKind kind, const STaggedResource& resource) {
  bool ok = true;
  switch (kind) {
    case EResourceKind::Instance:
      ok = bridge->DeleteVM("", resource.id, true, false);
      break;
    case EResourceKind::VolumeSnapshot:
      ok = bridge->DeleteVolumeSnapshot(resource.id);
      break;
    case EResourceKind::Image:
      ok = bridge->DeleteImage(resource.id);
      break;
    case EResourceKind::Volume:
      if (!resource.attachedTo.empty()) {
        // Only a volume held by the proxy itself is let go here: any other holder is not provably ours.
        if (!FXString::EqualsIgnoreCase(resource.attachedTo, LocalVMGuid())) {
          EVERROR(evDebug, "Volume [%s] is attached to [%s]; it is left", resource.id.c_str(),
                  resource.attachedTo.c_str());
          return false;
        }
        CDetachBracket bracket(*diskMapper, "");
        IscsiAttachment session;
        session.iqn = resource.iqn;
        session.targetPortal = resource.portal;
        session.targetPort = resource.port;
        // A session still logged in would be cut by the detach.
        ok = bracket.IsOpen() && (resource.iqn.empty() || IscsiUtils::iscsiDetach(session)) &&
             bridge->DetachVolume(resource.id, resource.attachedTo);
      }
      ok = ok && bridge->DeleteVolume(resource.id);
      break;
  }
  if (!ok) EVERROR(evDebug, "Failed to delete [%s]: %s", resource.id.c_str(), bridge->GetLastError().c_str());
  return ok;
}
