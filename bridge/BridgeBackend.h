#pragma once
// The bridge's private working part: the session, the per-thread error texts and the guard
// every cloud operation runs through (counting, fault rules, connection check).
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimTags.h"
#include "host/EvDebug.h"
#include "host/Mutex.h"

namespace OracleCloudSDKCppBridge {

class CBridgeBackend {
 public:
  static constexpr const char* kNotConnected = "Not connected to the cloud";
  static constexpr const char* kSimScheme = "sim://";

  explicit CBridgeBackend(int instanceType);

  // The text of the calling thread's last failure; empty when it had none.
  std::string LastError() const EXCLUDES(mutex_);
  // Records `text` as the calling thread's failure and returns false.
  bool Fail(const std::string& text) EXCLUDES(mutex_);

  bool SetWebProxy(const std::string& host, const std::string& user, const std::string& password);
  bool Connect(const std::string& url, const std::string& user, const std::string& password);
  bool CheckConnection();

  // Runs one cloud operation: refuses it when not connected, counts it, brings the lifecycles
  // that are due up to date and applies the fault rules (delay, kill-before and fail before the
  // body; kill-after once the body returned, i.e. after its transaction committed), then
  // body(cloud, faults) -> bool. A refusal of the cloud (CSimRefused) becomes the error text as
  // it stands; any other exception is reported with the operation's name.
  template <class F>
  bool Run(const char* op, F&& body) {
    std::shared_ptr<sim::CSimCloud> cloud;
    sim::SCallFaults faults;
    if (!Begin(op, cloud, faults)) return false;
    const sim::STags tags = CreateTags();
    sim::CCreateTagsScope tagged(&tags);
    bool ok = false;
    try {
      ok = body(*cloud, static_cast<const sim::SCallFaults&>(faults));
    } catch (const sim::CSimRefused& e) {
      ok = Fail(e.what());
    } catch (const std::exception& e) {
      ok = Fail(std::string(op) + " failed: " + e.what());
    }
    End(op, faults);
    return ok;
  }

  // The freeform tags every resource created from now on carries.
  void SetCreateTags(const sim::STags& tags);
  sim::STags CreateTags() const;

  // Session details as given (the simulator has no accounts; they are only kept).
  std::string WebProxyHost() const;
  std::string User() const;

 private:
  bool Begin(const char* op, std::shared_ptr<sim::CSimCloud>& cloud, sim::SCallFaults& faults);
  void End(const char* op, const sim::SCallFaults& faults);
  // Counts `op` and applies the rules that act before the body; false when the call must fail.
  bool ApplyFaultsBefore(const char* op, sim::CSimCloud& cloud, sim::SCallFaults& faults);
  std::shared_ptr<sim::CSimCloud> CurrentCloud() const EXCLUDES(mutex_);

  int instanceType_;
  EvDebug log_{"OracleCloudSDKCppBridge"};
  mutable Mutex mutex_;
  std::map<std::thread::id, std::string> errors_ GUARDED_BY(mutex_);
  std::shared_ptr<sim::CSimCloud> cloud_ GUARDED_BY(mutex_);
  std::string url_ GUARDED_BY(mutex_), user_ GUARDED_BY(mutex_), password_ GUARDED_BY(mutex_);
  std::string proxyHost_ GUARDED_BY(mutex_), proxyUser_ GUARDED_BY(mutex_), proxyPassword_ GUARDED_BY(mutex_);
  sim::STags createTags_ GUARDED_BY(mutex_);
};

}  // namespace OracleCloudSDKCppBridge
