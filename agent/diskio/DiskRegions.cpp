#include "agent/diskio/DiskRegions.h"

namespace agent {

string Sha256Hex(const string& bytes) {
  CDiskDigest digest(EChecksumScheme::WholeSha256);
  digest.Update(bytes.data(), bytes.size());
  return digest.Finish().hex;
}

}  // namespace agent
