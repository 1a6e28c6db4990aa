#include "bridge/sim/SimFlavour.h"

namespace sim {

namespace {

constexpr SFlavourWords kInfrastructure{
    "PROVISIONING", "RUNNING",   "STARTING", "STOPPING",   "STOPPED",   "TERMINATING", "TERMINATED",
    "PROVISIONING", "AVAILABLE", "FAULTY",   "TERMINATED", "CREATING",  "AVAILABLE",   "FAULTY",
    "ATTACHING",    "ATTACHED",  "DETACHED", "IMPORTING",  "AVAILABLE", "FAULTY",
};

constexpr SFlavourWords kClassic{
    "starting",     "running",  "starting", "stopping", "stopped",   "deleting",  "deleted",
    "Initializing", "Online",   "error",    "deleted",  "pending",   "completed", "error",
    "attaching",    "attached", "detached", "pending",  "available", "error",
};

}  // namespace

const SFlavourWords& WordsOf(EFlavour flavour) { return flavour == EFlavour::Classic ? kClassic : kInfrastructure; }

const char* FlavourName(EFlavour flavour) { return flavour == EFlavour::Classic ? "classic" : "infrastructure"; }

std::optional<EFlavour> ParseFlavour(const std::string& name) {
  if (name == "infrastructure") return EFlavour::Infrastructure;
  if (name == "classic") return EFlavour::Classic;
  return std::nullopt;
}

}  // namespace sim
