#pragma once
// The two cloud flavours and the lifecycle words each one uses: the plug-in acts on these exact
// texts ("AVAILABLE"/"FAULTY" on infrastructure, "Online"/"completed"/"error" on classic).
#include <optional>
#include <string>

namespace sim {

enum class EFlavour { Infrastructure, Classic };

struct SFlavourWords {
  const char* instanceProvisioning;
  const char* instanceRunning;
  const char* instanceStarting;
  const char* instanceStopping;
  const char* instanceStopped;
  const char* instanceTerminating;
  const char* instanceTerminated;
  const char* volumeProvisioning;
  const char* volumeAvailable;
  const char* volumeFaulty;
  const char* volumeTerminated;
  const char* snapshotProvisioning;
  const char* snapshotAvailable;
  const char* snapshotFaulty;
  const char* attachmentAttaching;
  const char* attachmentAttached;
  const char* attachmentDetached;
  const char* imageProvisioning;
  const char* imageAvailable;
  const char* imageFaulty;
};

const SFlavourWords& WordsOf(EFlavour flavour);
const char* FlavourName(EFlavour flavour);  // "infrastructure" or "classic"
std::optional<EFlavour> ParseFlavour(const std::string& name);

}  // namespace sim
