#include "bridge/sim/SimLifecycle.h"

#include "host/HostClock.h"

namespace sim {

int64_t ProvisionSeconds(CSimDb& db, const std::string& kind) {
  std::string text =
      db.QueryText("SELECT value FROM meta WHERE key = ?", "0", std::string(kMetaProvisionPrefix) + kind);
  int64_t seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    seconds = seconds * 10 + (c - '0');
    if (seconds > 100'000'000) return 100'000'000;
  }
  return seconds;
}

void SettleLifecycles(CSimDb& db, const SFlavourWords& w, int64_t now) {
  // The classic flavour launches and starts with one word; CASE takes the first match.
  db.Run(
      "UPDATE instances SET state = CASE "
      "WHEN state IN (?, ?) THEN (CASE WHEN fault <> 0 THEN ? ELSE ? END) "
      "WHEN state = ? THEN ? "
      "WHEN state = ? THEN ? END "
      "WHERE state IN (?, ?, ?, ?) AND ready_at <= ?",
      w.instanceProvisioning, w.instanceStarting, w.instanceStopped, w.instanceRunning, w.instanceStopping,
      w.instanceStopped, w.instanceTerminating, w.instanceTerminated, w.instanceProvisioning, w.instanceStarting,
      w.instanceStopping, w.instanceTerminating, now);
  const struct {
    const char* table;
    const char* provisioning;
    const char* available;
    const char* faulty;
  } kinds[] = {
      {"volumes", w.volumeProvisioning, w.volumeAvailable, w.volumeFaulty},
      {"snapshots", w.snapshotProvisioning, w.snapshotAvailable, w.snapshotFaulty},
      {"images", w.imageProvisioning, w.imageAvailable, w.imageFaulty},
  };
  for (const auto& kind : kinds) {
    db.Run(std::string("UPDATE ") + kind.table +
               " SET state = CASE WHEN fault <> 0 THEN ? ELSE ? END WHERE state = ? AND ready_at <= ?",
           kind.faulty, kind.available, kind.provisioning, now);
  }
  db.Run("UPDATE attachments SET state = ? WHERE state = ? AND ready_at <= ?", w.attachmentAttached,
         w.attachmentAttaching, now);
}

void Settle(CSimCloud& cloud) {
  const SFlavourWords& words = cloud.Words();
  int64_t now = HostClock::Now();
  cloud.Write([&](CSimDb& db) { SettleLifecycles(db, words, now); });
}

}  // namespace sim
