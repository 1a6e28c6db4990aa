#include "bridge/sim/SimSchema.h"

namespace sim {

namespace {

// Times are seconds since the epoch from the host clock. `ready_at` is when a resource that is
// being provisioned becomes usable; until then it reports its flavour's provisioning word.
// `fault` marks a resource that ends FAULTY (set by a fault rule) instead of usable.
constexpr const char* kSchema = R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE regions (
  name    TEXT PRIMARY KEY,
  key     TEXT NOT NULL UNIQUE,
  is_home INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE compartments (
  id          TEXT PRIMARY KEY,
  name        TEXT NOT NULL,
  parent_id   TEXT NOT NULL DEFAULT '',
  description TEXT NOT NULL DEFAULT ''
);
CREATE TABLE availability_domains (
  name   TEXT PRIMARY KEY,
  region TEXT NOT NULL
);
CREATE TABLE shapes (
  name          TEXT PRIMARY KEY,
  cpus          INTEGER NOT NULL,
  memory_mb     INTEGER NOT NULL,
  flexible      INTEGER NOT NULL DEFAULT 0,
  max_cpus      INTEGER NOT NULL DEFAULT 0,
  max_memory_mb INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE images (
  id             TEXT PRIMARY KEY,
  name           TEXT NOT NULL,
  region         TEXT NOT NULL,
  image_key      TEXT NOT NULL,
  compartment_id TEXT NOT NULL DEFAULT '',
  launch_mode    TEXT NOT NULL DEFAULT 'NATIVE',
  os             TEXT NOT NULL DEFAULT '',
  state          TEXT NOT NULL,
  size_bytes     INTEGER NOT NULL DEFAULT 0,
  source_bucket  TEXT NOT NULL DEFAULT '',
  source_object  TEXT NOT NULL DEFAULT '',
  fault          INTEGER NOT NULL DEFAULT 0,
  created        INTEGER NOT NULL,
  ready_at       INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX images_by_name ON images(name);
-- Shapes an image may launch on; an image without rows here launches on every shape.
CREATE TABLE image_shapes (
  image_id TEXT NOT NULL,
  shape    TEXT NOT NULL,
  PRIMARY KEY (image_id, shape)
);
CREATE TABLE instances (
  id             TEXT PRIMARY KEY,
  name           TEXT NOT NULL,
  uri            TEXT NOT NULL,
  compartment_id TEXT NOT NULL,
  ad             TEXT NOT NULL,
  region         TEXT NOT NULL,
  shape          TEXT NOT NULL,
  cpus           INTEGER NOT NULL,
  memory_mb      INTEGER NOT NULL,
  state          TEXT NOT NULL,
  image_id       TEXT NOT NULL DEFAULT '',
  launch_mode    TEXT NOT NULL DEFAULT 'NATIVE',
  boot_volume_id TEXT NOT NULL DEFAULT '',
  fault          INTEGER NOT NULL DEFAULT 0,
  created        INTEGER NOT NULL,
  ready_at       INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX instances_by_name ON instances(name);
-- Block volumes and boot volumes; `file` is the name of the sparse file under volumes/ that
-- holds the volume's bytes.
CREATE TABLE volumes (
  id                 TEXT PRIMARY KEY,
  display_name       TEXT NOT NULL,
  compartment_id     TEXT NOT NULL,
  ad                 TEXT NOT NULL,
  size_bytes         INTEGER NOT NULL,
  state              TEXT NOT NULL,
  description        TEXT NOT NULL DEFAULT '',
  is_boot            INTEGER NOT NULL DEFAULT 0,
  bootable           INTEGER NOT NULL DEFAULT 0,
  image_id           TEXT NOT NULL DEFAULT '',
  source_snapshot_id TEXT NOT NULL DEFAULT '',
  file               TEXT NOT NULL UNIQUE,
  fault              INTEGER NOT NULL DEFAULT 0,
  created            INTEGER NOT NULL,
  ready_at           INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX volumes_by_name ON volumes(display_name);
-- A point-in-time copy of a volume's bytes, kept as a sparse file under volumes/. The source
-- volume's domain and compartment, and whether it is a boot volume, are kept so that a volume made
-- from the snapshot lands there (a boot volume again) even after the source is gone.
CREATE TABLE snapshots (
  id             TEXT PRIMARY KEY,
  volume_id      TEXT NOT NULL,
  name           TEXT NOT NULL,
  ad             TEXT NOT NULL DEFAULT '',
  compartment_id TEXT NOT NULL DEFAULT '',
  description TEXT NOT NULL DEFAULT '',
  state       TEXT NOT NULL,
  size_bytes  INTEGER NOT NULL,
  is_boot     INTEGER NOT NULL DEFAULT 0,
  file        TEXT NOT NULL UNIQUE,
  fault       INTEGER NOT NULL DEFAULT 0,
  created     INTEGER NOT NULL,
  ready_at    INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX snapshots_by_volume ON snapshots(volume_id);
-- `seq` orders an instance's volumes (their disk numbers); the boot volume is not listed here.
-- `disk_index`: on classic, the storage attachment's index (the boot volume's is 1); 0 when
-- the attachment did not name one (its place in `seq` decides).
CREATE TABLE attachments (
  seq         INTEGER PRIMARY KEY AUTOINCREMENT,
  id          TEXT NOT NULL UNIQUE,
  instance_id TEXT NOT NULL,
  volume_id   TEXT NOT NULL,
  type        TEXT NOT NULL,
  disk_index  INTEGER NOT NULL DEFAULT 0,
  iqn         TEXT NOT NULL DEFAULT '',
  portal      TEXT NOT NULL DEFAULT '',
  port        INTEGER NOT NULL DEFAULT 0,
  state       TEXT NOT NULL,
  created     INTEGER NOT NULL,
  ready_at    INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX attachments_by_instance ON attachments(instance_id);
CREATE INDEX attachments_by_volume ON attachments(volume_id);
CREATE TABLE subnets (
  id             TEXT PRIMARY KEY,
  name           TEXT NOT NULL,
  compartment_id TEXT NOT NULL,
  ad             TEXT NOT NULL DEFAULT '',
  cidr           TEXT NOT NULL
);
CREATE TABLE vnics (
  seq         INTEGER PRIMARY KEY AUTOINCREMENT,
  id          TEXT NOT NULL UNIQUE,
  instance_id TEXT NOT NULL,
  name        TEXT NOT NULL,
  subnet_id   TEXT NOT NULL,
  private_ip  TEXT NOT NULL,
  mac         TEXT NOT NULL,
  is_primary  INTEGER NOT NULL DEFAULT 0,
  created     INTEGER NOT NULL
);
CREATE INDEX vnics_by_instance ON vnics(instance_id);
CREATE TABLE buckets (
  name           TEXT PRIMARY KEY,
  compartment_id TEXT NOT NULL,
  namespace      TEXT NOT NULL,
  created        INTEGER NOT NULL
);
-- An object's bytes are in objects/<file>, file being a safe name derived from bucket and name.
CREATE TABLE objects (
  bucket     TEXT NOT NULL,
  name       TEXT NOT NULL,
  size_bytes INTEGER NOT NULL,
  file       TEXT NOT NULL UNIQUE,
  created    INTEGER NOT NULL,
  PRIMARY KEY (bucket, name)
);
CREATE TABLE security_lists (
  id             TEXT PRIMARY KEY,
  name           TEXT NOT NULL,
  compartment_id TEXT NOT NULL
);
CREATE TABLE ssh_keys (
  id         TEXT PRIMARY KEY,
  name       TEXT NOT NULL,
  public_key TEXT NOT NULL
);
CREATE TABLE instance_security_lists (
  instance_id      TEXT NOT NULL,
  security_list_id TEXT NOT NULL,
  PRIMARY KEY (instance_id, security_list_id)
);
CREATE TABLE instance_ssh_keys (
  instance_id TEXT NOT NULL,
  key_id      TEXT NOT NULL,
  PRIMARY KEY (instance_id, key_id)
);
-- Fault rules: on the `nth` call of `op` counted from when the rule was added (`seen` counts
-- them), or on every call when `nth` is 0. retry_after, drop_connection and count are the options of
-- the HTTP actions (a database made before them gets them from SimFaults.cpp).
CREATE TABLE fault_rules (
  id       INTEGER PRIMARY KEY AUTOINCREMENT,
  op       TEXT NOT NULL,
  nth      INTEGER NOT NULL,
  action   TEXT NOT NULL,
  text     TEXT NOT NULL DEFAULT '',
  delay_ms INTEGER NOT NULL DEFAULT 0,
  retry_after     INTEGER NOT NULL DEFAULT -1,
  drop_connection INTEGER NOT NULL DEFAULT 0,
  count           INTEGER NOT NULL DEFAULT 0,
  seen     INTEGER NOT NULL DEFAULT 0,
  fired    INTEGER NOT NULL DEFAULT 0,
  created  INTEGER NOT NULL
);
CREATE INDEX fault_rules_by_op ON fault_rules(op);
CREATE TABLE calls (
  op    TEXT PRIMARY KEY,
  count INTEGER NOT NULL
);
-- What the bridge created on behalf of jobs (kind: instance, volume, snapshot, attachment,
-- image, object, vnic); a row outlives its resource so that leftovers can be told from
-- resources that were cleaned up: `deleted` is when the resource went (0 while it exists) and
-- `deleted_op` the operation that removed it.
CREATE TABLE created_resources (
  kind       TEXT NOT NULL,
  id         TEXT NOT NULL,
  name       TEXT NOT NULL DEFAULT '',
  op         TEXT NOT NULL,
  pid        INTEGER NOT NULL,
  created    INTEGER NOT NULL,
  deleted    INTEGER NOT NULL DEFAULT 0,
  deleted_op TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (kind, id)
);
-- Freeform tags of live and gone resources, by the kind and id of their resource (a classic volume
-- and instance may share a name).
CREATE TABLE freeform_tags (
  kind  TEXT NOT NULL,
  id    TEXT NOT NULL,
  key   TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (kind, id, key)
);
)sql";

}  // namespace

void CreateSchema(CSimDb& db) {
  db.Exec(kSchema);
  db.Run("INSERT INTO meta(key, value) VALUES ('schema_version', ?)", std::to_string(kSchemaVersion));
}

}  // namespace sim
