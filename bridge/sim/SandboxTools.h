#pragma once
// The proxy's tools in a sandbox, written when it is made, from the scripts in bridge/sim/tools/
// (compiled in when the build is configured):
//   bin/iscsiadm                              the iSCSI initiator tool (FakeIscsiadm.h)
//   home/VMware/vddk/VDDK673/bin64/vmware-vdiskmanager, lib64/libdisklib.so.stub
//                                             the virtual-disk tool of a VDDK kit, beside a stand-in
//                                             of the libraries it needs on LD_LIBRARY_PATH
//   bin/tool-faults.sh                        sourced by both: call log, fault rules, kill of the job
//   bin/cloud-sim                             a link through which they count their calls and meet
//                                             their fault rules; without a cloud-sim they run
//                                             without either
#include <string>

namespace sim {

// Relative to the sandbox.
constexpr const char* kVddkKitDir = "home/VMware/vddk/VDDK673";     // bin64/vmware-vdiskmanager, lib64/
constexpr const char* kVdiskManagerLog = "cloud/vdiskmanager.log";  // one line per call, arguments quoted

// Writes the tools into the sandbox folder `dir` (its bin/ and home/ exist).
void WriteSandboxTools(const std::string& dir);

}  // namespace sim
