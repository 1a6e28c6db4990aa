#include "bridge/BridgeBackend.h"

#include <csignal>

#include "bridge/WebProxyAddress.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimOperations.h"
#include "host/HostClock.h"
#include "host/HostTypes.h"

namespace OracleCloudSDKCppBridge {

namespace {

// Whether a cloud of `flavour` serves a bridge built for `instanceType`; other types (a plain
// plug-in object) take either flavour.
bool FlavourFits(int instanceType, sim::EFlavour flavour) {
  if (instanceType == VSINST_ORACLE_CLOUD_CLASSIC) return flavour == sim::EFlavour::Classic;
  if (instanceType == VSINST_ORACLE_CLOUD_INFRASTRUCTURE) return flavour == sim::EFlavour::Infrastructure;
  return true;
}

}  // namespace

CBridgeBackend::CBridgeBackend(int instanceType) : instanceType_(instanceType) {}

std::string CBridgeBackend::LastError() const {
  MutexLock lock(mutex_);
  auto it = errors_.find(std::this_thread::get_id());
  return it == errors_.end() ? std::string() : it->second;
}

bool CBridgeBackend::Fail(const std::string& text) {
  {
    MutexLock lock(mutex_);
    errors_[std::this_thread::get_id()] = text;
  }
  EVERROR(log_, "%s", text.c_str());
  return false;
}

std::shared_ptr<sim::CSimCloud> CBridgeBackend::CurrentCloud() const {
  MutexLock lock(mutex_);
  return cloud_;
}

std::string CBridgeBackend::WebProxyHost() const {
  MutexLock lock(mutex_);
  return proxyHost_;
}

std::string CBridgeBackend::User() const {
  MutexLock lock(mutex_);
  return user_;
}

bool CBridgeBackend::SetWebProxy(const std::string& host, const std::string& user, const std::string& password) {
  // A proxy may be set before Connect; only a connected session has a cloud to count the call in.
  if (std::shared_ptr<sim::CSimCloud> cloud = CurrentCloud()) {
    sim::SCallFaults faults;
    if (!ApplyFaultsBefore("SetWebProxy", *cloud, faults)) return false;
  }
  std::string error;
  if (!IsValidWebProxyAddress(host, error)) return Fail(error);
  {
    MutexLock lock(mutex_);
    proxyHost_ = host;
    proxyUser_ = user;
    proxyPassword_ = password;
  }
  EVDEBUG(log_, "Web proxy set to [%s] user [%s]", host.c_str(), user.c_str());
  return true;
}

bool CBridgeBackend::Connect(const std::string& url, const std::string& user, const std::string& password) {
  {
    // A new Connect ends the previous session, whatever its outcome.
    MutexLock lock(mutex_);
    cloud_.reset();
  }
  if (url.empty()) return Fail("No cloud URL was given");
  if (url.rfind(kSimScheme, 0) != 0) {
    size_t end = url.find("://");
    std::string scheme = end == std::string::npos ? url : url.substr(0, end);
    return Fail("Unsupported cloud URL scheme [" + scheme + "] in [" + url + "]: only sim:// is supported");
  }
  std::string path = url.substr(std::string(kSimScheme).size());
  if (path.empty() || path.front() != '/') {
    return Fail("The simulated cloud path [" + path + "] is not an absolute path");
  }
  std::shared_ptr<sim::CSimCloud> cloud;
  try {
    cloud = std::make_shared<sim::CSimCloud>(path);
  } catch (const sim::CSimError& e) {
    return Fail(e.what());
  }
  if (!FlavourFits(instanceType_, cloud->Flavour())) {
    return Fail("The simulated cloud at [" + cloud->Dir() + "] is a " + sim::FlavourName(cloud->Flavour()) +
                " cloud, which instance type " + std::to_string(instanceType_) + " does not serve");
  }
  sim::SCallFaults faults;
  if (!ApplyFaultsBefore("Connect", *cloud, faults)) return false;
  {
    MutexLock lock(mutex_);
    cloud_ = cloud;
    url_ = url;
    user_ = user;
    password_ = password;
  }
  EVDEBUG(log_, "Connected to the simulated %s cloud at [%s] as [%s]", sim::FlavourName(cloud->Flavour()),
          cloud->Dir().c_str(), user.c_str());
  End("Connect", faults);
  return true;
}

bool CBridgeBackend::CheckConnection() {
  return Run("CheckConnection", [this](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    std::string error;
    return cloud.Ping(error) || Fail(error);
  });
}

bool CBridgeBackend::Begin(const char* op, std::shared_ptr<sim::CSimCloud>& cloud, sim::SCallFaults& faults) {
  // The operation table is the one list of names that counters and fault rules know: an operation
  // missing from it could be neither counted nor faulted, so it is not run at all.
  if (!sim::IsBridgeOperation(op)) return Fail(std::string("[") + op + "] is not an operation of the bridge");
  cloud = CurrentCloud();
  if (!cloud) return Fail(kNotConnected);
  return ApplyFaultsBefore(op, *cloud, faults);
}

bool CBridgeBackend::ApplyFaultsBefore(const char* op, sim::CSimCloud& cloud, sim::SCallFaults& faults) {
  try {
    const sim::SFlavourWords& words = cloud.Words();
    int64_t now = HostClock::Now();
    // One transaction: a call pays for one lock round, however many rules and resources it meets.
    faults = cloud.Write([&](sim::CSimDb& db) {
      sim::SCallFaults counted = sim::CSimFaults::CountCallIn(db, op);
      sim::SettleLifecycles(db, words, now);
      return counted;
    });
  } catch (const sim::CSimError& e) {
    return Fail(std::string(op) + " failed: " + e.what());
  }
  if (faults.delayMs > 0) {
    EVDEBUG(log_, "Delaying %s by %lld ms", op, static_cast<long long>(faults.delayMs));
    HostClock::Sleep(static_cast<uint64_t>(faults.delayMs));
  }
  if (faults.killBefore) {
    EVERROR(log_, "Fault rule: killing the process before %s (call %lld)", op,
            static_cast<long long>(faults.callNumber));
    raise(SIGKILL);
  }
  if (faults.fail) return Fail(faults.failText);
  return true;
}

void CBridgeBackend::End(const char* op, const sim::SCallFaults& faults) {
  if (faults.killAfter) {
    EVERROR(log_, "Fault rule: killing the process after %s (call %lld)", op,
            static_cast<long long>(faults.callNumber));
    raise(SIGKILL);
  }
}

void CBridgeBackend::SetCreateTags(const sim::STags& tags) {
  MutexLock lock(mutex_);
  createTags_ = tags;
}

sim::STags CBridgeBackend::CreateTags() const {
  MutexLock lock(mutex_);
  return createTags_;
}

}  // namespace OracleCloudSDKCppBridge
