#include "plugin/OracleCloudInfo.h"

#include <cstring>
#include <new>

#include "host/FXString.h"
#include "plugin/JobWorkers.h"

using namespace VMInfoStructs;
using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;

string COracleCloudInfo::c_localVMGuid;
TzCriticalSection COracleCloudInfo::c_localVMGuidCS;

namespace {
// The mapper's storage is zero-filled before it is constructed: the agent's mapper relies on
// members it does not initialise itself starting out zero.
std::unique_ptr<CDiskMapper> NewZeroFilledDiskMapper() {
  void* storage = ::operator new(sizeof(CDiskMapper));
  std::memset(storage, 0, sizeof(CDiskMapper));
  try {
    return std::unique_ptr<CDiskMapper>(new (storage) CDiskMapper);
  } catch (...) {
    ::operator delete(storage);
    throw;
  }
}
}  // namespace

COracleCloudInfo::COracleCloudInfo(VirtualServerInstanceType type) : CVMInfo(type) {
  EVDEBUGLVL(evDebug, 2, "Start >>>");
  bridge = std::make_unique<COracleCloudSDKCppBridge>(static_cast<int>(type));
  diskMapper = NewZeroFilledDiskMapper();
  // A wait for a lock that another job holds ends when this job is cancelled.
  diskMapper->SetCancelCheck([this] { return IsJobCancelled(); });
  cleaner.SetCancelCheck([this] { return IsJobCancelled(); });
  staleJobsCleaned = false;
  EVDEBUGLVL(evDebug, 2, "End <<<");
}

COracleCloudInfo::~COracleCloudInfo() {
  // The bridge goes first, then the mapper; the cleaner, the lock and the proxy record follow as
  // members, in reverse order of declaration.
  bridge.reset();
  diskMapper.reset();
}

int COracleCloudInfo::Init(unsigned long flags) {
  if (CVMInfo::Init(flags) == 0) return 0;
  try {
    DetectLocalVMGuid();
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
  }
  return 1;
}

int COracleCloudInfo::DeInit(bool force) { return 1; }

int COracleCloudInfo::Disconnect() { return 0; }

int COracleCloudInfo::Connect(const string& url, const string& user, const string& password) {
  return Connect(url, user, password, std::vector<SHostCredentials>());
}

int COracleCloudInfo::Connect(const string& url, const string& user, const string& password,
                              const std::vector<SHostCredentials>& credentials) {
  try {
    EVDEBUGLVL(evDebug, 2, "Start >>>");
    CVMInfo::ResetCaches();
    connectUrl = url;
    connectUser = user;
    connectPassword = password;
    EVDEBUG(evDebug, "Connecting to Url=[%s] User=[%s]", connectUrl.c_str(), user.c_str());

    // A web proxy asked for and refused fails the connection: going on without it would reach the
    // cloud some other way than the user said, or not at all.
    string refusedProxy;
    for (const auto& credential : credentials) {
      if (credential.credentialType != CREDENTIAL_TYPE_WEB_PROXY) continue;
      refusedProxy.clear();
      if (bridge->SetWebProxy(credential.hostName, credential.userName, credential.password)) {
        EVDEBUG(evDebug, "Successfully set web proxy details hostname:[%s] username:[%s]", credential.hostName.c_str(),
                credential.userName.c_str());
        webProxyHost = credential.hostName;
        webProxyUser = credential.userName;
        webProxyPassword = credential.password;
        break;
      }
      EVDEBUG(evDebug, "Failed to set web proxy details hostname:[%s] username:[%s]", credential.hostName.c_str(),
              credential.userName.c_str());
      refusedProxy = "The web proxy [" + credential.hostName + "] was refused: " + bridge->GetLastError();
    }
    if (!refusedProxy.empty()) {
      EVERROR(evDebug, "%s", refusedProxy.c_str());
      SetLastVMErrorDetails(refusedProxy);
      SetLastVMError(VMERR_CONNECTION_FAILED);
      return 0;
    }

    if (bridge->Connect(connectUrl, user, password)) return 1;
    SetLastVMError(VMERR_CONNECTION_FAILED);
    SetLastVMErrorDetails(bridge->GetLastError());
    EVDEBUG(evDebug, "Connect failed [%s]", bridge->GetLastError().c_str());
    return 0;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    SetLastVMError(VMERR_CONNECTION_FAILED);
    return 0;
  }
}

string COracleCloudInfo::LocalVMGuid() {
  TzAutoLock guard(c_localVMGuidCS);
  return c_localVMGuid;
}

bool COracleCloudInfo::InitProxyVMInfo() {
  const string proxyGuid = LocalVMGuid();
  TzAutoLock guard(proxyLock);
  if (!proxyVMInfo.uri.empty()) {
    EVDEBUG(evDebug, "Proxy information already fetched, Proxy uri [%s]", proxyVMInfo.uri.c_str());
    return true;
  }
  if (!bridge->GetVMInfo("", proxyGuid, proxyVMInfo, OracleCloudSDKCppBridge::VMINFO_FLAG_PROXY)) {
    EVERROR(evDebug, "Failed to get VMInfo for VM [%s]", proxyGuid.c_str());
    SetLastVMError(VMERR_PROXY_NOT_FOUND);
    return false;
  }
  return true;
}

int COracleCloudInfo::GetProxyVMInfo(string& identity, SVMInfo& record) {
  try {
    identity = LocalVMGuid();
    if (!InitProxyVMInfo()) {
      SetLastVMErrorDetails(bridge->GetLastError());
      return 0;
    }
    TzAutoLock guard(proxyLock);
    record = proxyVMInfo;
    return 1;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

EVMInfoError COracleCloudInfo::GetLastVMError() const {
  const CJobWorkers::SError* worker = CJobWorkers::ErrorOfThisThread();
  return worker ? worker->code : CVMInfo::GetLastVMError();
}

string COracleCloudInfo::GetLastVMErrorDetails() const {
  const CJobWorkers::SError* worker = CJobWorkers::ErrorOfThisThread();
  return worker ? worker->details : CVMInfo::GetLastVMErrorDetails();
}

void COracleCloudInfo::SetLastVMError(EVMInfoError code) {
  if (CJobWorkers::SError* worker = CJobWorkers::ErrorOfThisThread())
    worker->code = code;
  else
    CVMInfo::SetLastVMError(code);
}

void COracleCloudInfo::SetLastVMErrorDetails(const string& details) {
  if (CJobWorkers::SError* worker = CJobWorkers::ErrorOfThisThread()) {
    worker->hasDetails = true;
    worker->details = details;
  } else {
    CVMInfo::SetLastVMErrorDetails(details);
  }
}

int COracleCloudInfo::ReportBridgeFailure(EVMInfoError code) {
  SetLastVMErrorDetails(bridge->GetLastError());
  SetLastVMError(code);
  return 0;
}

bool COracleCloudInfo::InitMapperAndCleaner() {
  if (!diskMapper->Init()) {
    EVDEBUG(evDebug, "Disk mapper initialization failed.");
    return false;
  }
  if (!cleaner.Init(LocalVMGuid())) {
    EVERROR(evDebug, "Cleaner initialization failed: %s", cleaner.InitError().c_str());
    return false;
  }
  const string setAside = cleaner.TakeSetAsideNotice();
  if (!setAside.empty()) EVERROR(evDebug, "%s", setAside.c_str());
  return true;
}

bool COracleCloudInfo::QuitRequested(const char* tag) {
  if (!IsJobCancelled()) return false;
  evDebug.Error(tag, "Detected Quit flag");
  SetLastVMError(VMERR_JOB_CANCELLED);
  return true;
}

// ---- Base behaviour of the plug-in's own slots. ----

bool COracleCloudInfo::_IsBackupFeasibleForVM(const MountCtx& ctx) { return true; }

bool COracleCloudInfo::CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<SDisk>& disks) { return true; }

bool COracleCloudInfo::AttachVolumes(const string& rootName, std::vector<SDisk>& disks, bool makeWritable,
                                     bool bringOffline) {
  return true;
}

bool COracleCloudInfo::DetachVolumes(std::vector<SDisk>& disks) { return true; }

int COracleCloudInfo::HandleOverwriteOption(const RestoreCtx& ctx) { return 1; }

bool COracleCloudInfo::_InitRestoreVM(const RestoreCtx& ctx) { return true; }
bool COracleCloudInfo::_PreRestoreVM(const RestoreCtx& ctx) { return true; }
bool COracleCloudInfo::_RestoreVM(const RestoreCtx& ctx) { return true; }
bool COracleCloudInfo::_PostRestoreVM(const RestoreCtx& ctx) { return true; }

bool COracleCloudInfo::FormDiskIndexName(const string& volumeName, int diskNumber, string& guid, string& indexName) {
  return true;
}

// An unknown instance type runs on no cloud we know: the proxy has no identity.
void COracleCloudInfo::DetectLocalVMGuid() {}

// A flavour that polls resources overrides this; the base cannot tell a state, so the query fails
// and with it the wait, which would otherwise never end.
bool COracleCloudInfo::GetResourceStatus(const string& id, const OracleCloudResourceType& kind, bool& usable,
                                         bool& failed) {
  EVERROR(evDebug, "The state of [%s] cannot be queried for instance type [%d]", id.c_str(),
          static_cast<int>(GetVSInstType()));
  SetLastVMErrorDetails(FXString::Format("The state of [%s] cannot be queried for this cloud", id.c_str()));
  return false;
}

bool COracleCloudInfo::QueryResourceState(const string& id, const OracleCloudResourceType& kind,
                                          std::initializer_list<const char*> usableStates, const char* faultyState,
                                          bool& usable, bool& failed) {
  string state;
  bool ok;
  if (kind == ORACLE_CLOUD_RESOURCE_SNAPSHOT)
    ok = bridge->GetSnapshotStatus(id, state);
  else if (kind == ORACLE_CLOUD_RESOURCE_VOLUME)
    ok = bridge->GetVolumeStatus(id, state);
  else
    return false;
  for (const char* word : usableStates)
    if (state == word) usable = true;
  if (state == faultyState) failed = true;
  return ok;
}

bool COracleCloudInfo::CleanupMountedVolumes(const string& cleanerPath) { return true; }
bool COracleCloudInfo::CleanupRestoreImages(const string& cleanerPath) { return true; }

bool COracleCloudInfo::ConnectDiskInfo(const MountCtx& ctx) { return true; }
bool COracleCloudInfo::DisconnectDiskInfo(const MountCtx& ctx) { return true; }
bool COracleCloudInfo::RegisterDisksWithDiskInfo(const MountCtx& ctx) { return true; }
