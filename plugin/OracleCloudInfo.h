#pragma once
// The plug-in object: common logic of both cloud flavours, also the object built for any other
// instance type. Flavour-specific steps are the virtual hooks declared after the host's slots.
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge/COracleCloudSDKCppBridge.h"
#include "cleanup/OracleCloudCleaner.h"
#include "host/CVMInfo.h"
#include "host/CWqString.h"
#include "host/TzCriticalSection.h"
#include "plugin/DiskMapper.h"
#include "plugin/OracleCloudResourceType.h"
#include "plugin/PluginLog.h"
#include "util/NameClaims.h"

class CPendingCreate;

class COracleCloudInfo : public CVMInfo {
 public:
  explicit COracleCloudInfo(VirtualServerInstanceType type);
  ~COracleCloudInfo() override;
  COracleCloudInfo(const COracleCloudInfo&) = delete;
  COracleCloudInfo& operator=(const COracleCloudInfo&) = delete;

  // Session (plugin/OracleCloudInfo.cpp).
  int Init(unsigned long flags) override;
  int DeInit(bool force) override;
  int Connect(const string& url, const string& user, const string& password) override;
  int Connect(const string& url, const string& user, const string& password,
              const std::vector<SHostCredentials>& credentials) override;
  int Disconnect() override;
  int GetProxyVMInfo(string& identity, VMInfoStructs::SVMInfo& record) override;

  // The job's error (plugin/OracleCloudInfo.cpp). On a worker thread of the job (CJobWorkers) it is the
  // worker's own, which the job thread reports once it has joined the worker; on any other thread it is the host's.
  EVMInfoError GetLastVMError() const override;
  string GetLastVMErrorDetails() const override;
  void SetLastVMError(EVMInfoError code) override;
  void SetLastVMErrorDetails(const string& details) override;

  // Browse (plugin/OracleCloudInfoBrowse.cpp); BrowseVMList is below, among the slots the plug-in adds.
  int BrowseInventory(const string& path, const VMInfoStructs::SInventoryInfo& node,
                      std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) override;
  int BrowseViews(std::vector<VMInfoStructs::SInventoryInfo>& out);

  // Discovery (plugin/OracleCloudInfoDiscovery.cpp).
  int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags, int option,
                     VMInfoStructs::SVMInfo& out) override;
  int GetHostInfoForHost(const string& hostName, UINT64 flags, int option, VMInfoStructs::SHostInfo& out) override;
  int GetDSInfoForDS(const string& dsName, UINT64 flags, int option, VMInfoStructs::SDatastoreInfo& out) override;
  int GetVMInfoListForInventoryObject(const string& name, VMInfoStructs::EInventoryType type, UINT64 flags, int option,
                                      std::vector<VMInfoStructs::SVMInfo>& out) override;
  int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, UINT64 flags, int option) override;
  int GetHostInfoList(std::vector<VMInfoStructs::SHostInfo>& out, UINT64 flags, int option,
                      const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) override;
  int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, UINT64 flags, int option,
                    const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) override;
  int GetDSInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags,
                           int option) override;
  int GetRPInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SResourcePoolInfo>& out, UINT64 flags,
                           int option) override;
  int GetDCInfoList(std::vector<VMInfoStructs::SDataCenterInfo>& out, UINT64 flags, int option) override;
  int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) override;
  int GetVMInventoryInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SInventoryInfo>& out,
                                    UINT64 flags, int option) override;
  int GetAvailableVMSizesForHost(const string& hostName, std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                 int option) override;
  int GetSecurityGroupsForHost(const string& hostName, std::vector<VMInfoStructs::SSecurityGroupInfo>& out,
                               UINT64 flags, int option) override;
  int GetKeyPairForHost(const string& hostName, std::vector<VMInfoStructs::SKeyPairInfo>& out, UINT64 flags,
                        int option) override;
  int GetStagingStorageListForHost(const string& hostName, std::vector<VMInfoStructs::SStagingStorage>& out,
                                   UINT64 flags, int option) override;

  // Backup (plugin/OracleCloudInfoMount.cpp).
  int MountVM(const MountCtx& ctx) override;
  int UnmountVM(const MountCtx& ctx) override;
  int CleanupVM(const MountCtx& ctx) override;
  int CollectMetadata(const MountCtx& ctx) override;

  // Mount information and disk index names (plugin/OracleCloudInfoMountInfo.cpp). An index name is
  // "<volume name>_<index>"; the parser splits at the last "_".
  int GetFileMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out) override;
  int GetFullMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out) override;
  bool ParseDiskIndexName(const string& indexName, string& volumeName, int& index);
  static bool ParseOracleCloudDiskIndexName(const string& indexName, string& volumeName, int& index,
                                            CPluginLog* log = nullptr);
  static void ResetDiskTypeForConversion(std::vector<VMInfoStructs::SDisk>& disks);

  // Restore (plugin/OracleCloudInfoRestore.cpp): the phases in the order the agent calls them, between
  // Init and Pre it writes the disks into the volumes attached to the proxy; after a failed phase it calls
  // CleanupRestoreVM.
  int InitRestoreVM(const RestoreCtx& ctx) override;  // guarded: the phase is _InitRestoreVMPhase
  int PreRestoreVM(const RestoreCtx& ctx) override;
  int RestoreVM(const RestoreCtx& ctx) override;
  int PostRestoreVM(const RestoreCtx& ctx) override;
  int CleanupRestoreVM(const RestoreCtx& ctx) override;
  int InitVirtualizeMe(const RestoreCtx& ctx) override;
  int FinalizeVirtualizeMe(const RestoreCtx& ctx) override;
  int CleanupVirtualizeMe(const RestoreCtx& ctx) override;

  // Instance operations (plugin/OracleCloudInfoOperations.cpp).
  int PerformVMOperation(const OperationCtx& ctx) override;
  // True (error 7102) for an operation that would stop or remove the proxy the agent runs on.
  bool RefusesOperationOnProxy(const OperationCtx& ctx);
  int PowerOnVM(const OperationCtx& ctx);
  int PowerOffVM(const OperationCtx& ctx);
  // Applies the shape, CPUs and memory the record asks for (empty or 0: unchanged); fails (7101)
  // naming each asked value the cloud did not take.
  int ReconfigureVM(const OperationCtx& ctx);
  // "shape [a] (it has [b]), 4 CPUs (it has 1), ...": what `asked` sets that `made` does not hold.
  static string ChangesNotMade(const VMInfoStructs::SVMInfo& asked, const VMInfoStructs::SVMInfo& made);
  int CloneVM(const OperationCtx& ctx);
  int DeleteVM(const OperationCtx& ctx);
  bool WaitForBoot(VMInfoStructs::SVMInfo& vm, int timeout, bool flag);

  // The proxy and the services a session opens (plugin/OracleCloudInfo.cpp).
  // The proxy's own record, fetched once per object.
  bool InitProxyVMInfo();
  // Prepares the disk mapper and opens the registry of created entities for this proxy.
  bool InitMapperAndCleaner();

  // The proxy's own instance identity, detected once per process (DetectLocalVMGuid); empty until then.
  static TzCriticalSection c_localVMGuidCS;
  static string c_localVMGuid GUARDED_BY(c_localVMGuidCS);
  static string LocalVMGuid() EXCLUDES(c_localVMGuidCS);

  // ---- Operations the plug-in adds to the host's table, in slot order (plugin/OracleCloudInfoBrowse.cpp). ----
  virtual int BrowseVMList(std::vector<CWqString>& pathParts, const VMInfoStructs::SInventoryInfo& node,
                           std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags);

 protected:
  // The host's caches (plugin/OracleCloudInfoDiscovery.cpp).
  int _RefreshHostInfoCache(UINT64 flags, int option) override;
  int _RefreshClusterInfoCache(UINT64 flags, int option) override;

  // The flavours' hooks with their defaults, and the steps both flavours share (plugin/OracleCloudInfo.cpp).
  // A failed bridge call: its text goes into the error details, `code` becomes the error; returns 0.
  int ReportBridgeFailure(EVMInfoError code);

  virtual bool _IsBackupFeasibleForVM(const MountCtx& ctx);
  virtual bool CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<VMInfoStructs::SDisk>& disks);
  virtual bool AttachVolumes(const string& rootName, std::vector<VMInfoStructs::SDisk>& disks, bool makeWritable,
                             bool bringOffline);
  virtual bool DetachVolumes(std::vector<VMInfoStructs::SDisk>& disks);
  virtual int HandleOverwriteOption(const RestoreCtx& ctx);
  // The flavour's restore phases. The public phase has cleared the error and (but for RestoreVM)
  // checked for a cancel before calling its hook.
  virtual bool _InitRestoreVM(const RestoreCtx& ctx);
  virtual bool _PreRestoreVM(const RestoreCtx& ctx);
  virtual bool _RestoreVM(const RestoreCtx& ctx);
  virtual bool _PostRestoreVM(const RestoreCtx& ctx);
  virtual bool FormDiskIndexName(const string& volumeName, int diskNumber, string& guid, string& indexName);
  virtual void DetectLocalVMGuid();
  virtual bool GetResourceStatus(const string& id, const OracleCloudResourceType& kind, bool& usable, bool& failed);
  // The state of a snapshot or volume in the flavour's words: one of `usableStates` sets `usable`,
  // `faultyState` sets `failed`; false when the query failed or the kind has no state.
  bool QueryResourceState(const string& id, const OracleCloudResourceType& kind,
                          std::initializer_list<const char*> usableStates, const char* faultyState, bool& usable,
                          bool& failed);
  virtual bool CleanupRestoreImages(const string& cleanerPath);
  virtual bool CleanupMountedVolumes(const string& cleanerPath);
  virtual bool ConnectDiskInfo(const MountCtx& ctx);
  virtual bool DisconnectDiskInfo(const MountCtx& ctx);
  virtual bool RegisterDisksWithDiskInfo(const MountCtx& ctx);
  // True when the agent cancelled the job: logs "Detected Quit flag" under the caller's tag and
  // records error 4000.
  bool QuitRequested(const char* tag);

  // Clean-up of what a restore registered, and the sweep of dead jobs (plugin/OracleCloudInfoCleanup.cpp).
  // Removes what the restore registered: instances before the volumes they hold, then volumes,
  // then images; the root goes once nothing is left.
  virtual bool _CleanupRestoreVM(const string& restoreGuid);
  virtual bool _CleanupAllVMs();
  // Resources whose creates were recorded but never registered (the job died in between, or the
  // request failed): looked up by name and deleted; the record goes once nothing carries the name.
  bool CleanupPendingCreates(const string& cleanerPath);
  // Deletes the instances a restore launched (waiting for each to go, so that its volumes are free)
  // and drops their entries; one that could not be deleted keeps its entry. Always true.
  bool CleanupCreatedVMs(const string& cleanerPath);

  // Restore (plugin/OracleCloudInfoRestore.cpp): the job's registration, its entry points' guards, the
  // names and bootability of restored volumes, the launch and the hand-over of the result.
  virtual bool UnRegisterCreatedVMandDisksFromCleaner(const string& restoreGuid, const string& createdVmGuid,
                                                      const std::vector<VMInfoStructs::SDisk>& disks);
  // Runs the unwinding of a failed step (`what` names it) so that the step's error code and details
  // are the ones reported: an unwinding that fails too is logged and named after them.
  void KeepFirstFailureAcross(const char* what, const std::function<bool()>& unwind);
  // Runs an entry point's body so that no exception leaves the plug-in: one that escapes fails the
  // entry (0) with `code`, unless the body set a code of its own, and details naming the entry.
  int GuardedEntry(const char* entry, EVMInfoError code, const std::function<int()>& body);
  // True (error 4000 set) when the job was cancelled before a phase.
  bool CancelledBeforePhase();
  int _InitRestoreVMPhase(const RestoreCtx& ctx);
  // True (error 7102 set) for a replication on a flavour that has none: nothing is registered.
  bool RefusesReplication(const RestoreCtx& ctx);
  // A fresh restore id registered as the job's root; false (nothing may be created) when it is not.
  bool RegisterCleanerForRestore(const RestoreCtx& ctx);
  // Names the restored volumes: a given name as it is, else the base name and the time in seconds,
  // the first second from now whose name neither the compartment nor another job on this proxy has
  // (error 71 naming what exists when none of kVolumeNameSeconds is free, or a given name is taken).
  bool UpdateDiskNames(const RestoreCtx& ctx);
  static constexpr int kVolumeNameSeconds = 60;
  enum class ENameState { Free, Taken, Failed };
  // Claims `name` for this job on the proxy and asks the compartment for it.
  ENameState ClaimVolumeName(const string& name, const string& compartmentId);
  bool MakeVolumesBootable(const RestoreCtx& ctx);
  bool _IsAutoVMShapeOptionSelected(const RestoreCtx& ctx);
  // Launches the restored instance (ctx.vmInfo) through `launch`: recorded before, registered under
  // the restore as soon as its id is known (a job killed in between leaves it to the next sweep).
  // False (error 20, the bridge's text) when the launch failed.
  bool LaunchRestoredInstance(const RestoreCtx& ctx, const std::function<bool()>& launch);
  // The instances that carry the restore's target name. Not knowing is not "not found": a failed
  // lookup is false (error 20, the bridge's text), and the restore must not go on.
  bool LookUpTargetName(const RestoreCtx& ctx, std::vector<VMInfoStructs::SVMInfo>& found, bool& exists);
  // The end of a restore: the instance and its volumes handed over (HandOverResult), then a reboot
  // when `reboot`, a power-off unless it should run, the results folder removed. False with the
  // hand-over's error 8102, else error 7101 when the power-off failed.
  bool FinishRestoredInstance(const RestoreCtx& ctx, bool reboot);
  // Hands the restored instance, its volumes, `snapshotIds` and the pending records of their creates
  // over in one registry transaction, the root with them unless other leftovers remain (or `keepRoot`:
  // the job goes on under it). From here on
  // the result is the user's: neither this job's clean-up nor any sweep removes it, also when the
  // registry could not take the hand-over (error 8102 naming the registry and the cause; it then
  // waits in the registry's ledger). The job's mark goes first: a result whose mark could not be
  // removed is not handed over (error 20, the bridge's text), and the job's clean-up removes it.
  bool HandOverResult(const RestoreCtx& ctx, const std::vector<string>& snapshotIds = {}, bool keepRoot = false);
  // The job's mark leaves the result's instance, volumes and `snapshotIds`; false (error 20, the
  // bridge's text) when one keeps it.
  bool DropJobMarks(const RestoreCtx& ctx, const std::vector<string>& snapshotIds);
  // True when the pending create `key` made nothing but the resources `ids` (or nothing that is left);
  // a record of an earlier version, or one whose token cannot be looked up, by its kind and name.
  bool PendingCreateMadeOnly(const string& key, const std::set<string>& ids,
                             const std::set<std::pair<VM_Cleaner_EntityType, string>>& names);
  // Removes the folder when it is a job's own (absolute, not "/", not the agent's home or a parent of
  // it), without following links; a refusal or failure is only logged.
  void RemoveJobResultsDir(const string& dir);
  // An instance of the target name that the options do not let a restore replace: the refusal's
  // text, error `code`; false.
  bool RefuseToOverwrite(EVMInfoError code);
  // Several instances of the target name: which to replace cannot be told (error 173); false.
  bool RefuseAmbiguousTarget(const RestoreCtx& ctx);
  // True (error 10) when the proxy itself is among the instances a restore would replace.
  bool RefusesProxyAsTarget(const RestoreCtx& ctx, const std::vector<VMInfoStructs::SVMInfo>& found);

  // The job's marks in the cloud (plugin/OracleCloudInfoJobTags.cpp).
  // From the job's registration on, everything the bridge creates carries the proxy's and the job's
  // marks (JobTags); `sweep`: the first registration of this object, which also removes the leftovers
  // of dead jobs, those of the registry (_CleanupAllVMs) and, on a new registry, those the cloud marks.
  void StartJobTagging(bool sweep);
  // On a new registry: the resources marked as this proxy's by jobs that are gone and that no root of
  // the registry holds are deleted (instances, then volumes, logged out and detached from the proxy
  // first, then snapshots and images). Until a search finds none left but for running jobs', every
  // new job searches again.
  void SweepUntrackedLeftovers();
  bool DeleteUntrackedResource(OracleCloudSDKCppBridge::EResourceKind kind,
                               const OracleCloudSDKCppBridge::STaggedResource& resource);

  // The shape of a restored instance (plugin/OracleCloudInfoShapes.cpp).
  // A flexible shape: its CPUs and memory are chosen at launch, so it never takes part in automatic
  // selection.
  static bool IsFlexibleShape(const string& name);
  // Among the fixed shapes with at least `cpuCount` CPUs and `memory`, the one with the fewest CPUs,
  // then the least memory; a shape with an empty name when none covers both.
  static VMInfoStructs::SVMSizeInfo _FindBestMatchingVMSize(const std::vector<VMInfoStructs::SVMSizeInfo>& list,
                                                            int memory, int cpuCount);
  // "no shape has <n> CPUs and <m> MB of memory": the need no shape covers, for an error's details.
  static string NoShapeCoversText(int cpuCount, int memoryMB);
  // With automatic selection, the shape that covers the converted machine's CPUs and memory, from
  // GetAvailableVMSizesForHost; false (error 20) when there is none.
  bool AdjustConvertedVMSize(const RestoreCtx& ctx);

  // Replication (replication/OracleCloudInfoReplication.cpp), a restore of type 4, keeps one destination
  // instance in step with its source. Init decides between a full sync (empty volumes) and an incremental
  // one (the destination's volumes rebuilt from the integrity snapshots of the previous sync); Pre takes
  // the new integrity snapshots; the new destination is launched beside the one it replaces; Post stops
  // it, hands it over, then removes what the previous sync left.
  bool InitRestoreVM_VMReplication(const RestoreCtx& ctx);
  bool InitRestoreVM_VMFirstTimeReplication(const RestoreCtx& ctx);
  bool InitRestoreVM_VMIncrementalReplication(const RestoreCtx& ctx);
  bool HandleDeleteDisksDuringIncremental(const RestoreCtx& ctx, VMInfoStructs::SVMInfo& destination);
  bool HandleNewDisksDuringIncremental(const RestoreCtx& ctx, VMInfoStructs::SVMInfo& destination);
  // Each selected record that carried a destination volume gets a new one made from the integrity
  // snapshot it carried. False (nothing of the rebuild left) unless every one was made.
  bool RebuildVolumesFromIntegritySnapshots(const RestoreCtx& ctx);
  // Post: the new destination (instance, volumes, integrity snapshots) loses the job's mark and leaves
  // the registry in one transaction (HandOverResult, the root kept). False, with HandOverResult's
  // error, when it could not; nothing of the previous destination is touched then.
  bool HandOverNewDestination(const RestoreCtx& ctx);
  // After the hand-over: the replaced instance, the volumes the records carried in that the new
  // destination does not use and the previous integrity snapshots, all registered under the restore
  // before the first goes (a failure leaves the rest to a later sweep).
  void RetirePreviousDestination(const RestoreCtx& ctx);
  std::vector<string> PreviousDestinationVolumes(const RestoreCtx& ctx) const;
  // Deletes a registered volume unless it is gone already, then drops its entry; false when it stays.
  bool DeleteRetiredVolume(const string& restoreGuid, const string& volumeId);
  bool PreRestoreVM_VMReplication(const RestoreCtx& ctx);
  bool PostRestoreVM_VMReplication(const RestoreCtx& ctx);
  // Called by the flavour's restore phase before it launches: the instance the replication replaces
  // stays until Post has handed its replacement over, so this only logs it.
  bool RemoveReplacedDestination(const RestoreCtx& ctx);

  // Integrity snapshots (replication/OracleCloudInfoIntegritySnapshots.cpp): one per destination volume,
  // taken at the end of every sync, named kIntegritySnapshotName. `queryFailed`: a snapshot's state could
  // not be read (not "missing").
  bool VerifyIntegritySnapshot(const RestoreCtx& ctx, const std::vector<VMInfoStructs::SDisk>& destinationDisks,
                               bool& queryFailed);
  bool DeleteExistingIntegritySnapshot(const RestoreCtx& ctx);
  bool CreateIntegritySnapshot(const RestoreCtx& ctx);

  // The mount of a backup (plugin/OracleCloudInfoMount.cpp).
  virtual bool _CleanupMountedVM(const string& instanceId);
  int _MountVM(const MountCtx& ctx);
  bool IsBackupFeasible(const MountCtx& ctx);
  bool IsBackupFeasibleForVM(const MountCtx& ctx);
  bool InitBackupVMInfo(const MountCtx& ctx);
  bool RegisterCleanerForBackup(const MountCtx& ctx);
  bool SaveVMConfigFiles(const MountCtx& ctx, const std::map<string, string>& files);
  // "_QD_BACKUP_<job id>_<thread id>_<seconds>".
  void GetUniqueResourceName(string& name);

  // Snapshots and the replica volumes made from them (plugin/OracleCloudInfoSnapshots.cpp).
  virtual bool CleanupSnapshots(const string& cleanerPath);
  bool CheckSnapshotLimit(const MountCtx& ctx);
  bool DeleteExpiredSnapshots(const std::vector<VMInfoStructs::SDisk>& disks, int hours);
  bool CreateVolumeSnapshots(const string& instanceId, std::vector<VMInfoStructs::SDisk>& disks);
  // `name` is the unique resource name, recorded as a pending create before the request.
  bool CreateVolumeSnapshotForBackup(VMInfoStructs::SDisk& disk, const string& name);
  bool CreateVolumesFromSnapshots(const string& instanceId, std::vector<VMInfoStructs::SDisk>& disks);
  bool CreateVolumeFromSnapshot(VMInfoStructs::SDisk& disk, const string& name);
  // Deletes a snapshot; one that is gone already counts as deleted. False (`error`: the bridge's
  // text) when it could not be deleted or its existence not told.
  bool DeleteSnapshotUnlessGone(const string& id, string& error);
  // A create is requested only once it is recorded; otherwise logs, sets `code` and says false.
  bool RecordedBeforeCreate(const CPendingCreate& pending, const string& name, EVMInfoError code);
  // After the resource's own registration: the record of the create goes (a failure only logs).
  void DropPendingCreate(CPendingCreate& pending, const string& name);
  bool WaitForResourceToBecomeUsable(const std::vector<VMInfoStructs::SDisk>& disks, OracleCloudResourceType kind);

  // Mount information (plugin/OracleCloudInfoMountInfo.cpp).
  int _GetFullMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
  int _GetFullMountInfo_Disks(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
  int _GetFullMountInfo_ConfigFiles(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);

  // Members, in this order. The plug-in's log hides the host's logger of the same name: every line
  // of the plug-in's code passes through it (CPluginLog).
  CPluginLog evDebug{CVMInfo::evDebug};
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge;
  TzCriticalSection proxyLock;
  VMInfoStructs::SVMInfo proxyVMInfo GUARDED_BY(proxyLock);
  // A copy of the proxy's record, for threads other than the one that fetched it.
  VMInfoStructs::SVMInfo ProxyRecord() EXCLUDES(proxyLock) {
    TzAutoLock guard(proxyLock);
    return proxyVMInfo;
  }
  std::unique_ptr<CDiskMapper> diskMapper;
  COracleCloudCleaner cleaner;
  CNameClaims nameClaims;  // the names this job is giving its volumes, until it names them again
  bool staleJobsCleaned = false;
  string handedOverRestore;  // the restore whose result this job handed over: its clean-up keeps it
  // What a replication job carried in from the previous sync, kept from Init to Post: the rebuild
  // from snapshots and the new integrity snapshots overwrite the records' own fields.
  struct SReplicationEntry {
    string recordedDestination;       // the destination instance the previous sync recorded
    std::vector<string> volumes;      // per record of RestoreCtx.disks: its destination volume
    std::vector<string> snapshots;    // per record: its integrity snapshot
    string replacedInstance;          // deleted in Post, after the new destination was handed over
    bool replacedIsRecorded = false;  // ours: its boot volume stays until the sync succeeded
  } replication;
  // Mode of the current job's registrations: 0 backup, 1 restore. Starts as backup so that a clean-up
  // reached before any registration (an unmount after a failed feasibility check) reads a defined mode.
  VM_Cleaner_Mode cleanerMode = VM_CLEANER_MODE_BACKUP;
};
