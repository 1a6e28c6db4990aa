#include "agent/jobs/BackupVerify.h"

#include <algorithm>
#include <climits>

#include "agent/diskio/ChunkDigests.h"
#include "agent/diskio/DiskCopy.h"
#include "agent/diskio/DiskWrite.h"
#include "agent/diskio/SyncChunks.h"
#include "agent/jobs/ChunkDigestFile.h"
#include "agent/jobs/RestoreSource.h"
#include "cli/DisplayText.h"
#include "disk/DataRegions.h"
#include "host/FXFile.h"

namespace agent {

using nlohmann::json;

namespace {

// The index of the first chunk whose digest differs between two digest lists of one length.
long long FirstDifferingChunk(const string& a, const string& b) {
  for (size_t at = 0; at < a.size(); at += kChunkDigestBytes)
    if (a.compare(at, kChunkDigestBytes, b, at, kChunkDigestBytes) != 0)
      return static_cast<long long>(at / kChunkDigestBytes);
  return -1;
}

// A chunked checksum: the stored disk's chunk digests against the manifest's checksum, and, when it
// differs, against the digests stored beside it to name the chunk.
void CheckChunked(const string& folder, const json& record, const string& path, const SDiskChecksum& checksum,
                  SDiskVerdict& verdict) {
  string digests, stored, why;
  if (!DigestsOfStoredDisk(path, verdict.size, digests, verdict.problem)) return;
  const bool listed = ReadChunkDigests(folder, record, stored, why);
  if (Sha256Hex(digests) == checksum.hex) {
    verdict.ok = why.empty() && (!listed || stored == digests);
    if (!verdict.ok) verdict.problem = why.empty() ? "its chunk digests file does not match the disk" : why;
    return;
  }
  verdict.problem = "its data differs from the manifest's checksum";
  if (listed && DigestsMatch(stored, verdict.size, checksum)) {
    verdict.badChunk = FirstDifferingChunk(digests, stored);
    const UINT64 offset = static_cast<UINT64>(verdict.badChunk) * kChecksumChunk;
    verdict.problem += ": chunk " + std::to_string(verdict.badChunk) + " at byte " + std::to_string(offset) +
                       " is the first that differs";
    return;
  }
  verdict.chunkNote = (!why.empty() ? why
                       : listed     ? string("its chunk digests do not match the manifest either")
                                    : string("it was stored without chunk digests (by an older agent)")) +
                      ", so the bad chunk cannot be named";
}

SDiskVerdict CheckDisk(const string& folder, const json& record, const string& where) {
  SDiskVerdict verdict;
  verdict.indexName = record.value("index_name", string());
  verdict.file = record.value("file", string());
  SStoredDisk stored;
  if (!ReadStoredDiskRecord(record, where, folder, LLONG_MAX, stored, verdict.problem)) return verdict;
  verdict.size = stored.size;
  SFd in;  // missing, a link, not a regular file or not of the manifest's size
  if (!OpenStoredDisk(stored.path, verdict.size, in, verdict.problem)) return verdict;
  if (stored.checksum.scheme == EChecksumScheme::ChunkedSha256) {
    CheckChunked(folder, record, stored.path, stored.checksum, verdict);
    return verdict;
  }
  SDiskChecksum found;
  if (!ChecksumOfFile(stored.path, verdict.size, stored.checksum.scheme, found, verdict.problem)) return verdict;
  verdict.ok = found == stored.checksum;
  if (!verdict.ok) {
    verdict.problem = "its data differs from the manifest's checksum";
    verdict.chunkNote = "an older agent's whole-disk checksum cannot name the bad chunk";
  }
  return verdict;
}

SFileVerdict CheckFile(const string& folder, const json& record) {
  SFileVerdict verdict;
  verdict.name = record.at("name").get<string>();
  if (!FXPath::IsBareName(verdict.name)) {
    verdict.problem =
        "the manifest names a configuration file [" + cli::EscapeForDisplay(verdict.name) + "] outside the folder";
    return verdict;
  }
  string sha;
  const string path = FXPath::Append(FXPath::Append(folder, "config"), verdict.name);
  if (!Sha256OfFile(path, sha, verdict.problem)) return verdict;
  verdict.ok = sha == record.at("sha256").get<string>();
  if (!verdict.ok) verdict.problem = "its SHA-256 differs from the manifest's";
  return verdict;
}

}  // namespace

bool SBackupVerdict::StoredIntact() const {
  return std::all_of(disks.begin(), disks.end(), [](const SDiskVerdict& d) { return d.ok; }) &&
         std::all_of(files.begin(), files.end(), [](const SFileVerdict& f) { return f.ok; });
}

bool VerifyBackup(const string& folder, SBackupVerdict& verdict, string& error) {
  verdict = SBackupVerdict();
  if (!ReadBackupState(folder, verdict.state, error)) return false;
  if (verdict.state.manifest.is_null()) {
    error = RefusalOf(verdict.state);
    return false;
  }
  try {
    const json& manifest = verdict.state.manifest;
    for (const json& disk : manifest.at("disks"))
      verdict.disks.push_back(CheckDisk(folder, disk, "disks[" + std::to_string(verdict.disks.size()) + "]"));
    // A configuration file the backup could not store is listed with its error and no checksum.
    for (const json& file : manifest.value("files", json::array()))
      if (!file.contains("error")) verdict.files.push_back(CheckFile(folder, file));
  } catch (const json::exception& e) {
    error = "the manifest of [" + cli::EscapeForDisplay(folder) + "] is malformed: " + e.what();
    return false;
  }
  return true;
}

}  // namespace agent
