#include "bridge/sim/SimAttachments.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimLoopDevices.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimSandboxPaths.h"
#include "bridge/sim/SimVolumeStore.h"
#include "host/HostClock.h"

namespace sim {

namespace {

constexpr int kFirstPortalHost = 2;
constexpr int kLastPortalHost = 254;

std::string AttachmentType(const std::string& requested) {
  std::string type = requested;
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (type != kAttachIscsi && type != kAttachParavirtualized) {
    throw CSimRefused("Attachment type [" + requested + "] is not supported: use " + kAttachIscsi + " or " +
                      kAttachParavirtualized);
  }
  return type;
}

// The lowest link-local portal address that no live iSCSI attachment of the instance uses.
std::string FreePortal(CSimDb& db, const SFlavourWords& w, const std::string& instanceId) {
  std::set<std::string> used;
  CSimStatement stmt = db.Prepare("SELECT portal FROM attachments WHERE instance_id = ? AND state <> ? AND iqn <> ''");
  stmt.BindAll(instanceId, w.attachmentDetached);
  while (stmt.Step()) used.insert(stmt.Text(0));
  for (int host = kFirstPortalHost; host <= kLastPortalHost; ++host) {
    std::string portal = "169.254.2." + std::to_string(host);
    if (!used.count(portal)) return portal;
  }
  throw CSimNoFreeSlot("Instance [" + instanceId + "] has no free iSCSI portal address");
}

int64_t SlotLimit(CSimDb& db, EFlavour flavour) {
  std::string text = db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaSlotLimit);
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return flavour == EFlavour::Classic ? kClassicSlotLimit : kDefaultSlotLimit;
  }
  return static_cast<int64_t>(std::stoll(text));
}

// The slots the instance's volumes take: one per live attachment and, on classic, where the boot
// volume is a storage attachment too, one for the boot volume.
int64_t UsedSlots(CSimDb& db, const SFlavourWords& w, EFlavour flavour, const std::string& instanceId) {
  int64_t used = db.QueryInt("SELECT COUNT(*) FROM attachments WHERE instance_id = ? AND state <> ?", 0, instanceId,
                             w.attachmentDetached);
  if (flavour == EFlavour::Classic) {
    used += db.QueryInt("SELECT COUNT(*) FROM instances WHERE id = ? AND boot_volume_id <> ''", 0, instanceId);
  }
  return used;
}

// Files made inside a transaction; removed again unless the transaction committed.
class CUndoFiles {
 public:
  ~CUndoFiles() {
    for (const std::string& path : paths_) ::unlink(path.c_str());
  }
  void Add(const std::string& path) { paths_.push_back(path); }
  void Keep() { paths_.clear(); }

 private:
  std::vector<std::string> paths_;
};

// Devices bound inside a transaction; released again unless the transaction committed.
class CUndoDevices {
 public:
  ~CUndoDevices() {
    for (const auto& [device, file] : bound_) ReleaseProxyDevice(device, file);
  }
  void Add(const std::string& device, const std::string& file) { bound_.emplace_back(device, file); }
  void Keep() { bound_.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> bound_;
};

// The proxy still logged in to a target that goes away: the session is cut under it. Sessions are
// named "<iqn>,<portal>,<port>" by the sandbox's iscsiadm.
void RecordCutSessions(CSimCloud& cloud, const std::string& iqn) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(IscsiSessionsDir(cloud), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string session = it->path().filename().string();
    if (session.rfind(iqn + ",", 0) != 0) continue;
    std::filesystem::create_directories(IscsiCutSessionsDir(cloud), ec);
    WriteFileAtomically(IscsiCutSessionsDir(cloud) + "/" + session, "cut by the detach of its volume\n");
  }
}

}  // namespace

SInstanceRef ResolveInstance(CSimDb& db, const std::string& idOrUri) {
  CSimStatement stmt = db.Prepare(
      "SELECT id, uri, ad, state, name, compartment_id FROM instances WHERE id = ? OR uri = ? "
      "ORDER BY id = ? DESC LIMIT 1");
  stmt.BindAll(idOrUri, idOrUri, idOrUri);
  if (idOrUri.empty() || !stmt.Step()) throw CSimRefused("Instance with id [" + idOrUri + "] was not found");
  return {stmt.Text(0), stmt.Text(1), stmt.Text(2), stmt.Text(3), stmt.Text(4), stmt.Text(5)};
}

void WithdrawAttachments(CSimCloud& cloud, const std::vector<SEndedAttachment>& ended) {
  for (const SEndedAttachment& a : ended) {
    if (!a.iqn.empty()) {
      ::unlink((IscsiTargetsDir(cloud) + "/" + a.iqn).c_str());
      RecordCutSessions(cloud, a.iqn);
    }
    if (a.type == kAttachParavirtualized) {
      // The link names the device; the device is released only while it is bound to a file of this cloud.
      const std::string link = VirtioLinkPath(cloud, a.volumeId);
      std::error_code ec;
      const std::string device = std::filesystem::read_symlink(link, ec).string();
      for (const SBoundLoop& loop : LoopDevicesUnder(cloud.VolumesDir()))
        if (!ec && loop.device == device) ReleaseProxyDevice(device, loop.file);
      ::unlink(link.c_str());
    }
  }
}

SNewAttachment CSimAttachments::Attach(const std::string& volumeId, const std::string& instance,
                                       const std::string& requestedType, bool noSlotFault, const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  const std::string type = AttachmentType(requestedType);
  const std::string proxyId = ProxyInstanceId(cloud_);
  int64_t now = HostClock::Now();
  CUndoFiles files;
  CUndoDevices devices;
  SNewAttachment made = cloud_.Write([&](CSimDb& db) {
    SInstanceRef target = ResolveInstance(db, instance);
    if (target.state == w.instanceTerminating || target.state == w.instanceTerminated) {
      throw CSimRefused("Instance [" + target.id + "] is " + target.state + ": no volume can be attached to it");
    }
    SVolumeRow volume = LoadVolume(db, volumeId);
    if (volume.state != w.volumeAvailable) {
      throw CSimRefused("Volume [" + volume.id + "] is not available: it is " + volume.state);
    }
    std::string holder = AttachedInstanceOf(db, w, volume.id);
    if (!holder.empty())
      throw CSimRefused("Volume [" + volume.id + "] is already attached to instance [" + holder + "]");
    std::string owner = BootInstanceOf(db, w, volume.id);
    if (!owner.empty()) throw CSimRefused("Volume [" + volume.id + "] is the boot volume of instance [" + owner + "]");
    int64_t used = UsedSlots(db, w, cloud_.Flavour(), target.id);
    int64_t limit = SlotLimit(db, cloud_.Flavour());
    if (noSlotFault || used >= limit) {
      std::string text =
          "Instance [" + target.id + "] has no free volume attachment slot for volume [" + volume.id + "]";
      if (used >= limit) text += ": " + std::to_string(used) + " of " + std::to_string(limit) + " slots are in use";
      throw CSimNoFreeSlot(text);
    }

    SNewAttachment a;
    a.id = CIdMaker(db, cloud_.Flavour()).Attachment(target.uri, target.ad);
    a.type = type;
    if (type == kAttachIscsi) {
      a.iqn = kIqnPrefix + NewUuid();
      a.portal = FreePortal(db, w, target.id);
      a.port = kIscsiPort;
    }
    int64_t seconds = ProvisionSeconds(db, kKindAttachment);
    db.Run(
        "INSERT INTO attachments(id, instance_id, volume_id, type, iqn, portal, port, state, created, ready_at) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        a.id, target.id, volume.id, type, a.iqn, a.portal,
        a.port.empty() ? int64_t{0} : static_cast<int64_t>(std::stoll(a.port)),
        seconds > 0 ? w.attachmentAttaching : w.attachmentAttached, now, now + seconds);
    RecordCreated(db, kKindAttachment, a.id, volume.name, op, now);

    std::string bytes = std::filesystem::absolute(cloud_.VolumeFilePath(volume.file)).string();
    if (type == kAttachIscsi) {
      std::filesystem::create_directories(IscsiTargetsDir(cloud_));
      std::string offered = IscsiTargetsDir(cloud_) + "/" + a.iqn;
      files.Add(offered);
      WriteFileAtomically(offered, "path=" + bytes + "\nportal=" + a.portal + "\nport=" + a.port + "\n");
    } else if (target.id == proxyId) {
      std::filesystem::create_directories(DeviceDirOf(cloud_));
      std::string link = VirtioLinkPath(cloud_, volume.id);
      const std::string device = ProxyDeviceFor(KeepsFileLinks(db), bytes);
      devices.Add(device, bytes);
      files.Add(link);
      MakeSymlink(device, link);
    }
    return a;
  });
  files.Keep();
  devices.Keep();
  WaitUntilAttached(made.id);
  if (made.type == kAttachIscsi) {
    // An empty setting is no setting.
    auto reported = [&](const char* key, std::string& value) {
      std::string override = cloud_.Meta(key, "");
      if (!override.empty()) value = override;
    };
    reported(kMetaReportedIqn, made.iqn);
    reported(kMetaReportedPortal, made.portal);
    reported(kMetaReportedPort, made.port);
  }
  return made;
}

void CSimAttachments::WaitUntilAttached(const std::string& attachmentId) {
  const SFlavourWords& w = cloud_.Words();
  for (;;) {
    Settle(cloud_);
    auto [state, readyAt] = cloud_.Read([&](CSimDb& db) {
      CSimStatement stmt = db.Prepare("SELECT state, ready_at FROM attachments WHERE id = ?");
      stmt.BindAll(attachmentId);
      if (!stmt.Step()) throw CSimRefused("Volume attachment [" + attachmentId + "] is gone");
      return std::make_pair(stmt.Text(0), stmt.Int(1));
    });
    if (state == w.attachmentAttached) return;
    if (state != w.attachmentAttaching) {
      throw CSimRefused("Volume attachment [" + attachmentId + "] did not attach: it is " + state);
    }
    int64_t ms = readyAt * 1000 - HostClock::Get().NowMilliseconds();
    HostClock::Sleep(static_cast<uint64_t>(std::max<int64_t>(ms, 1)));
  }
}

void CSimAttachments::Detach(const std::vector<std::string>& volumeIds, const std::string& instance,
                             const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  std::vector<SEndedAttachment> ended = cloud_.Write([&](CSimDb& db) {
    SInstanceRef target = ResolveInstance(db, instance);
    std::vector<SEndedAttachment> list;
    for (const std::string& volumeId : volumeIds) {
      CSimStatement stmt =
          db.Prepare("SELECT id, type, iqn FROM attachments WHERE instance_id = ? AND volume_id = ? AND state <> ?");
      stmt.BindAll(target.id, volumeId, w.attachmentDetached);
      std::vector<std::string> ids;
      while (stmt.Step()) {
        ids.push_back(stmt.Text(0));
        list.push_back({volumeId, stmt.Text(1), stmt.Text(2)});
      }
      for (const std::string& id : ids) {
        db.Run("UPDATE attachments SET state = ? WHERE id = ?", w.attachmentDetached, id);
        RecordDeleted(db, kKindAttachment, id, op, now);
      }
    }
    return list;
  });
  WithdrawAttachments(cloud_, ended);
}

}  // namespace sim
