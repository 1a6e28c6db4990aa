#include "bridge/sim/CloudSeeder.h"

#include <cctype>
#include <cstdio>
#include <map>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/HostClock.h"

namespace sim {

namespace {

struct SRegion {
  const char* name;
  const char* key;
};

// Ids and names differ between the flavours; everything else is seeded the same way.
class CSeeder {
 public:
  CSeeder(CSimCloud& cloud, CSimDb& db, uint64_t bootBytes)
      : cloud_(cloud), db_(db), classic_(cloud.Flavour() == EFlavour::Classic), bootBytes_(bootBytes) {
    now_ = HostClock::Now();
  }

  SSeededCloud Seed() {
    const SRegion regions[] = {classic_ ? SRegion{"us2", "US2"} : SRegion{"us-phoenix-1", "PHX"},
                               classic_ ? SRegion{"em2", "EM2"} : SRegion{"us-ashburn-1", "IAD"}};
    home_ = regions[0].name;
    homeCode_ = Lower(regions[0].key);
    SetMeta(kMetaDefaultRegion, home_);
    SetMeta(kMetaObjectNamespace, "simtenancy");
    SetMeta(kMetaBootVolumeBytes, std::to_string(bootBytes_));
    if (classic_) {
      SetMeta(kMetaClassicDomain, kDomain);
      SetMeta(kMetaClassicUser, kUser);
    }
    for (const SRegion& region : regions) {
      db_.Run("INSERT INTO regions(name, key, is_home) VALUES (?, ?, ?)", region.name, region.key,
              region.name == home_);
    }

    std::string production = AddCompartment("Production", "Instances of the applications");
    std::string backup = AddCompartment("Backup", "The backup proxy and its staging storage");

    std::string ad1 = classic_ ? "US2-Z27" : "Uocm:PHX-AD-1";
    std::string ad2 = classic_ ? "US2-Z28" : "Uocm:PHX-AD-2";
    std::string remoteAd = classic_ ? "EM2-Z11" : "Uocm:IAD-AD-1";
    db_.Run("INSERT INTO availability_domains(name, region) VALUES (?, ?), (?, ?), (?, ?)", ad1, home_, ad2, home_,
            remoteAd, regions[1].name);

    db_.Run(
        "INSERT INTO shapes(name, cpus, memory_mb, flexible, max_cpus, max_memory_mb) VALUES "
        "('VM.Standard2.1', 1, 15360, 0, 1, 15360), ('VM.Standard2.2', 2, 30720, 0, 2, 30720), "
        "('VM.Standard2.4', 4, 61440, 0, 4, 61440), ('VM.Standard2.8', 8, 122880, 0, 8, 122880), "
        "('VM.Standard.E4.Flex', 1, 16384, 1, 64, 1048576)");

    std::string linuxImage =
        AddImage("Oracle-Linux-8.8", "Oracle-Linux-8.8-2023.09.26-0", home_, "Oracle Linux", "PARAVIRTUALIZED");
    AddImage("Oracle-Linux-8.8", "Oracle-Linux-8.8-2023.09.26-0", regions[1].name, "Oracle Linux", "PARAVIRTUALIZED");
    std::string ubuntuImage =
        AddImage("Canonical-Ubuntu-22.04", "Canonical-Ubuntu-22.04-2023.10.13-0", home_, "Canonical Ubuntu", "NATIVE");

    AddBucket("backup-staging", backup);
    AddBucket("image-import", backup);

    subnet1_ = AddSubnet("subnet-ad1", production, ad1, "10.0.1.0/24");
    AddSubnet("subnet-ad2", production, ad2, "10.0.2.0/24");

    std::string defaultList = AddSecurityList("Default Security List", production);
    std::string webList = AddSecurityList("web-ingress", production);
    std::string key = AddSshKey("ops-key",
                                "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIK0simulatedkeyforoperatorsonly0000000000 "
                                "ops@example.com");

    SSeededCloud seeded;
    seeded.defaultRegion = home_;
    seeded.proxyId = AddInstance(kProxyName, backup, ad1, "VM.Standard2.4", 4, 61440, linuxImage, false);
    std::string web = AddInstance(kSampleNames[0], production, ad1, "VM.Standard2.1", 1, 15360, linuxImage, true);
    std::string db = AddInstance(kSampleNames[1], production, ad1, "VM.Standard.E4.Flex", 2, 32768, ubuntuImage, true);
    for (const std::string& instance : {web, db}) {
      db_.Run("INSERT INTO instance_ssh_keys(instance_id, key_id) VALUES (?, ?)", instance, key);
      db_.Run("INSERT INTO instance_security_lists(instance_id, security_list_id) VALUES (?, ?)", instance,
              defaultList);
    }
    db_.Run("INSERT INTO instance_security_lists(instance_id, security_list_id) VALUES (?, ?)", web, webList);
    // An operator's snapshot that is not a backup's: jobs must leave it alone.
    AddSnapshot(dataVolumeOf_[db], std::string(kSampleNames[1]) + "-data-weekly",
                "Weekly snapshot taken by the operator");
    return seeded;
  }

 private:
  static constexpr const char* kDomain = "a424242";
  static constexpr const char* kUser = "backup.admin@example.com";

  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  // Classic names live under the identity domain's container.
  std::string ClassicPath(const std::string& name) const {
    return std::string("/Compute-") + kDomain + "/" + kUser + "/" + name;
  }

  std::string RegionalId(const char* kind) const { return NewOcid(kind, homeCode_); }

  void SetMeta(const char* key, const std::string& value) {
    db_.Run("INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)", key, value);
  }

  std::string AddCompartment(const std::string& name, const std::string& description) {
    std::string id = classic_ ? ClassicPath(Lower(name)) : NewOcid("compartment", "");
    db_.Run("INSERT INTO compartments(id, name, description) VALUES (?, ?, ?)", id, name, description);
    return id;
  }

  std::string AddImage(const std::string& name, const std::string& key, const std::string& region,
                       const std::string& os, const std::string& launchMode) {
    std::string id = classic_ ? "/oracle/public/" + region + "/" + name
                              : NewOcid("image", region == home_ ? homeCode_ : std::string("iad"));
    db_.Run(
        "INSERT INTO images(id, name, region, image_key, launch_mode, os, state, size_bytes, created) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        id, name, region, key, launchMode, os, cloud_.Words().imageAvailable, static_cast<int64_t>(bootBytes_), now_);
    return id;
  }

  void AddBucket(const std::string& name, const std::string& compartment) {
    db_.Run("INSERT INTO buckets(name, compartment_id, namespace, created) VALUES (?, ?, 'simtenancy', ?)", name,
            compartment, now_);
  }

  std::string AddSubnet(const std::string& name, const std::string& compartment, const std::string& ad,
                        const std::string& cidr) {
    std::string id = classic_ ? ClassicPath("ipnetworks/" + name) : RegionalId("subnet");
    db_.Run("INSERT INTO subnets(id, name, compartment_id, ad, cidr) VALUES (?, ?, ?, ?, ?)", id, name, compartment, ad,
            cidr);
    return id;
  }

  std::string AddSecurityList(const std::string& name, const std::string& compartment) {
    std::string id = classic_ ? ClassicPath("seclists/" + name) : RegionalId("securitylist");
    db_.Run("INSERT INTO security_lists(id, name, compartment_id) VALUES (?, ?, ?)", id, name, compartment);
    return id;
  }

  std::string AddSshKey(const std::string& name, const std::string& publicKey) {
    std::string id = classic_ ? ClassicPath("sshkeys/" + name) : NewOcid("sshkey", "");
    db_.Run("INSERT INTO ssh_keys(id, name, public_key) VALUES (?, ?, ?)", id, name, publicKey);
    return id;
  }

  std::string AddVolume(const std::string& name, const std::string& compartment, const std::string& ad, uint64_t size,
                        bool boot, const std::string& imageId) {
    std::string id = classic_ ? ClassicPath(name) : RegionalId(boot ? "bootvolume" : "volume");
    std::string file = SafeFileName(id, ".img");
    WriteSampleVolume(cloud_.VolumeFilePath(file), id, name, size);
    db_.Run(
        "INSERT INTO volumes(id, display_name, compartment_id, ad, size_bytes, state, is_boot, bootable, image_id, "
        "file, created) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        id, name, compartment, ad, static_cast<int64_t>(size), cloud_.Words().volumeAvailable, boot, boot, imageId,
        file, now_);
    return id;
  }

  void AddSnapshot(const std::string& volumeId, const std::string& name, const std::string& description) {
    CNewFiles files(cloud_);
    InsertSnapshot(cloud_, db_, files, SNewSnapshot{volumeId, name, description, now_ - 3600, false, false}, now_);
    files.Keep();
  }

  std::string AddInstance(const std::string& name, const std::string& compartment, const std::string& ad,
                          const std::string& shape, int cpus, int memoryMb, const std::string& imageId,
                          bool withDataVolume) {
    std::string id = classic_ ? NewUuid() : RegionalId("instance");
    std::string uri = classic_ ? ClassicPath(name + "/" + id) : id;
    std::string boot =
        AddVolume(classic_ ? name + "_storage" : name + " (Boot Volume)", compartment, ad, bootBytes_, true, imageId);
    std::string launchMode = db_.QueryText("SELECT launch_mode FROM images WHERE id = ?", "NATIVE", imageId);
    db_.Run(
        "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, image_id, "
        "launch_mode, boot_volume_id, created) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        id, name, uri, compartment, ad, home_, shape, cpus, memoryMb, cloud_.Words().instanceRunning, imageId,
        launchMode, boot, now_);
    if (withDataVolume) {
      std::string data = AddVolume(name + "-data", compartment, ad, bootBytes_ / 2, false, "");
      std::string attachment = classic_ ? uri + "/" + NewUuid() : RegionalId("volumeattachment");
      db_.Run(
          "INSERT INTO attachments(id, instance_id, volume_id, type, state, created) "
          "VALUES (?, ?, ?, 'paravirtualized', ?, ?)",
          attachment, id, data, cloud_.Words().attachmentAttached, now_);
      dataVolumeOf_[id] = data;
    }
    ++hosts_;
    char ip[32];
    snprintf(ip, sizeof ip, "10.0.1.%d", 10 + hosts_);
    char mac[32];
    snprintf(mac, sizeof mac, "02:00:17:00:01:%02x", 10 + hosts_);
    std::string vnic = classic_ ? uri + "/eth0" : RegionalId("vnic");
    db_.Run(
        "INSERT INTO vnics(id, instance_id, name, subnet_id, private_ip, mac, is_primary, created) "
        "VALUES (?, ?, ?, ?, ?, ?, 1, ?)",
        vnic, id, classic_ ? "eth0" : name + "-vnic", subnet1_, ip, mac, now_);
    return id;
  }

  CSimCloud& cloud_;
  CSimDb& db_;
  bool classic_;
  uint64_t bootBytes_;
  int64_t now_ = 0;
  std::string home_, homeCode_, subnet1_;
  int hosts_ = 0;
  std::map<std::string, std::string> dataVolumeOf_;
};

}  // namespace

SSeededCloud SeedCloud(CSimCloud& cloud, uint64_t bootVolumeMiB) {
  return cloud.Write([&](CSimDb& db) { return CSeeder(cloud, db, bootVolumeMiB * kMiB).Seed(); });
}

}  // namespace sim
