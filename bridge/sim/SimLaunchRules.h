#pragma once
// What every launch of an instance checks and makes, whichever way it is launched (a clone, an
// image, a boot volume, a classic orchestration or launch plan): the compartment, the shape and its
// size, the image's shapes, the subnets and addresses of its cards, its SSH keys and security
// lists. Refusals are thrown as CSimRefused naming what was refused.
#include <cstdint>
#include <string>
#include <utility>

#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimResources.h"
#include "host/VMInfoStructs.h"

namespace sim {

struct SShapeRow {
  std::string name;
  int64_t cpus = 0, memoryMb = 0, maxCpus = 0, maxMemoryMb = 0;
  bool flexible = false;
};

SShapeRow LoadShape(CSimDb& db, const std::string& name);

// The processors and memory an instance gets on `shape`: a fixed shape decides them; a flexible
// one takes what was asked for, or else `fallback` (the instance's current size when it already
// had this shape), or else the shape's default.
std::pair<int64_t, int64_t> SizeOn(const SShapeRow& shape, int64_t cpus, int64_t memoryMb,
                                   std::pair<int64_t, int64_t> fallback);

void RequireImageRunsOn(CSimDb& db, const std::string& imageId, const std::string& shape);

// A subnet for the new instance's primary card: the preferred one when it serves the domain, or
// else one in the domain (or regional), the instance's compartment first.
std::string PickSubnet(CSimDb& db, const std::string& preferred, const std::string& ad,
                       const std::string& compartmentId);

// A subnet given for a card must exist and serve the domain (a regional subnet serves all).
void RequireSubnetServes(CSimDb& db, const std::string& subnetId, const std::string& ad);

void RequireCompartment(CSimDb& db, const std::string& compartmentId, const std::string& instanceName);

// Where a new VNIC goes: the instance and its domain.
struct SVnicHost {
  std::string id, uri, ad;
};

std::string PrimaryCardName(EFlavour flavour, const std::string& instanceName);

// A VNIC of the instance in `subnet` with the address `ip` (empty: the subnet's next free one).
void InsertVnic(CSimDb& db, CIdMaker& ids, const SVnicHost& host, const std::string& subnet, const std::string& name,
                bool primary, const std::string& op, int64_t now, const std::string& ip = "");

// The SSH keys and security lists the record asks for.
void AddAccess(CSimDb& db, const std::string& instanceId, const VMInfoStructs::SVMInfo& vm);

// What a launch tells the caller about the instance it made.
void TakeLaunched(VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SVMInfo& made);

}  // namespace sim
