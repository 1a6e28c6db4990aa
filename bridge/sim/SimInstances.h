#pragma once
// What an instance goes through: power, shape changes, launch (clone of an instance or launch
// from an image), the wait for its boot, termination. Refusals are thrown as CSimRefused naming
// the instance, shape or image; every resource made is recorded as made by the operation.
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

class CSimInstances {
 public:
  explicit CSimInstances(CSimCloud& cloud) : cloud_(cloud) {}

  // Start and stop go through the flavour's starting/stopping words for the instance
  // provisioning time. Starting a running instance or stopping a stopped one changes nothing.
  void PowerOn(const std::string& id);
  void PowerOff(const std::string& id);
  // A running instance stays running; a stopped one is started.
  void Reboot(const std::string& id);
  // vm.guid (or vm.name) names the instance, vm.vmSize the new shape (empty: keep it), vm.cpuCount
  // and vm.memoryMB the size of a flexible shape (0: keep). Fills the resulting shape and size.
  void Reconfigure(VMInfoStructs::SVMInfo& vm);

  // A new instance named vm.name, in vm.compartmentId / vm.availabilityDomain / vm.vmSize (each
  // defaults to the source instance's). From an instance: its boot and data volumes are copied
  // into new volumes attached to the new instance. From an image: a new boot volume of
  // bootVolumeSizeGiB GiB (0: the image's size) that begins with the image's bytes. The primary
  // VNIC goes into the subnet of vm.networkCards[0] when that serves the domain, else the source's.
  // `faulty`: the instance never boots (it ends stopped). Fills vm.guid, vm.uri and what the cloud
  // chose.
  void Deploy(VMInfoStructs::SVMInfo& vm, const std::string& sourceId, int bootVolumeSizeGiB, bool faulty,
              const std::string& op);
  // A new instance named vm.name booting from the existing boot volume `bootVolumeId`, which must
  // be free (attached nowhere, no live instance's boot volume) and in vm.availabilityDomain (empty:
  // the volume's), in vm.compartmentId on shape vm.vmSize; a flexible shape takes vm.cpuCount and
  // vm.memoryMB when positive, else its defaults. The primary VNIC goes into the subnet of
  // vm.networkCards[0] (no cards: a subnet of the domain, as Deploy picks). Returns once the
  // instance runs; `faulty`: it never boots, ends terminated (the boot volume stays) and the call
  // fails. Fills vm.guid, vm.uri and what the cloud chose.
  void LaunchFromBootVolume(VMInfoStructs::SVMInfo& vm, const std::string& bootVolumeId, bool faulty,
                            const std::string& op);
  // A secondary VNIC for the instance (vm.guid, or vm.name), running or stopped, in card.subnetId,
  // which must serve the instance's domain. `faulty`: the attachment fails and nothing is made.
  void AttachVnic(const VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SVMNetworkCard& card, bool faulty,
                  const std::string& op);
  // Polls the instance (vm.guid, or vm.name) on the host clock until it runs (waitForRunning) or
  // has left its launch, at most timeoutSeconds; fails at once when it can no longer get there.
  void WaitForBoot(VMInfoStructs::SVMInfo& vm, int timeoutSeconds, bool waitForRunning);
  // Terminates the instance (by id, or else by name): its data volumes are detached and kept, its
  // boot volume deleted unless preserveBootVolume. With waitForTermination the call returns once
  // the instance is terminated; otherwise it may still be terminating.
  void Delete(const std::string& name, const std::string& id, bool waitForTermination, bool preserveBootVolume,
              const std::string& op);
  // Instances named `name` that are not terminated, in the compartment when one is given.
  std::vector<VMInfoStructs::SVMInfo> Named(const std::string& name, const std::string& compartmentId);
  std::string BootVolumeId(const VMInfoStructs::SVMInfo& vm);

 private:
  enum class EPower { On, Off, Reboot };
  void ChangePower(const std::string& id, EPower power);
  // Sleeps on the host clock until the instance's pending transition is due (at most maxMs),
  // then settles the cloud.
  void SleepUntilDue(const std::string& id, int64_t maxMs);
  // Sleeps on the host clock while the instance launches or starts; returns the state it reached.
  std::string WaitWhileLaunching(const std::string& id);

  CSimCloud& cloud_;
};

}  // namespace sim
