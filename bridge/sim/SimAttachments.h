#pragma once
// Volume attachments. An iSCSI attachment offers its target to the instance: a file
// cloud/iscsi/targets/<iqn> naming the volume's bytes and the portal, which the sandbox's iscsiadm
// logs in to. A paravirtualized attachment to the proxy needs no login: its device link appears
// under the proxy's dev/disk/by-path at once. Refusals are thrown as CSimRefused naming the volume
// or instance; a full instance as CSimNoFreeSlot.
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr const char* kAttachIscsi = "iscsi";
constexpr const char* kAttachParavirtualized = "paravirtualized";

class CSimNoFreeSlot : public CSimRefused {
 public:
  using CSimRefused::CSimRefused;
};

struct SNewAttachment {
  std::string id, type, iqn, portal, port;
};

// What ending an attachment leaves to withdraw once the change is committed.
struct SEndedAttachment {
  std::string volumeId, type, iqn;
};

struct SInstanceRef {
  std::string id, uri, ad, state, name, compartmentId;
};

// The instance named by its id or (classic callers) its uri; refused when there is none.
SInstanceRef ResolveInstance(CSimDb& db, const std::string& idOrUri);

// Removes the offered target of each ended iSCSI attachment and the device link of each
// paravirtualized one. A device the proxy made by logging in stays: the cloud does not log it out.
void WithdrawAttachments(CSimCloud& cloud, const std::vector<SEndedAttachment>& ended);

class CSimAttachments {
 public:
  explicit CSimAttachments(CSimCloud& cloud) : cloud_(cloud) {}

  // Attaches the volume to the instance (its id or uri) with `type` ("iscsi" or
  // "paravirtualized") and returns once the attachment is attached, sleeping on the host clock
  // through the attachment provisioning time. noSlotFault: report a full instance whatever its
  // count.
  SNewAttachment Attach(const std::string& volumeId, const std::string& instance, const std::string& type,
                        bool noSlotFault, const std::string& op);
  // Detaches each listed volume that is attached to the instance; others are passed over.
  void Detach(const std::vector<std::string>& volumeIds, const std::string& instance, const std::string& op);

 private:
  void WaitUntilAttached(const std::string& attachmentId);

  CSimCloud& cloud_;
};

}  // namespace sim
