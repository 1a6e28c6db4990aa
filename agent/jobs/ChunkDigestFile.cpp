#include "agent/jobs/ChunkDigestFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli/DisplayText.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"

namespace agent {

namespace {
const char kDigestsFolder[] = "digests";
}  // namespace

string ChunkDigestFileName(const string& diskFile) { return diskFile + ".digests"; }

bool StoreChunkDigests(const string& backupDir, const string& diskFile, const string& digests, string& error) {
  const string folder = FXPath::Append(backupDir, kDigestsFolder);
  // Disks stored side by side make it at once: the first one's mkdir stands for all.
  if ((::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) || !MakeOwnerOnly(folder, true)) {
    error = "cannot create [" + cli::EscapeForDisplay(folder) + "]: " + ErrnoText(errno);
    return false;
  }
  const string path = FXPath::Append(folder, ChunkDigestFileName(diskFile));
  if (WriteWholeFile(path, digests)) return true;
  error = "cannot write the chunk digests [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno);
  return false;
}

bool ReadChunkDigests(const string& backupDir, const nlohmann::json& record, string& digests, string& error) {
  error.clear();
  if (!record.contains("chunk_digests")) return false;
  const auto& name = record.at("chunk_digests");
  if (!name.is_string() || !FXPath::IsBareName(name.get<string>())) {
    error = "its chunk digests are not named by a plain file name";
    return false;
  }
  const string path = FXPath::Append(FXPath::Append(backupDir, kDigestsFolder), name.get<string>());
  if (ReadRegularFile(path, digests)) return true;
  error = "its chunk digests [" + cli::EscapeForDisplay(path) + "] cannot be read: " + ErrnoText(errno);
  return false;
}

}  // namespace agent
