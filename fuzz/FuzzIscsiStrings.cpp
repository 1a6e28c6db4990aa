// The iSCSI values a cloud hands over (IQN, portal, port) and the cleanup strings the registry keeps
// for sessions ("<portal>+<port>+<iqn>"): what the checks let through never carries shell syntax,
// and a cleanup string made of accepted values reads back as the same three values.
#include "FuzzInput.h"
#include "util/IscsiUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = fuzz::Fields(data, size, 3);
  const std::string &portal = fields[0], &port = fields[1], &iqn = fields[2];
  const bool valid = IscsiUtils::isValidPortal(portal) && IscsiUtils::isValidPort(port) && IscsiUtils::isValidIqn(iqn);
  if (valid) {
    for (const std::string* value : {&portal, &port, &iqn})
      fuzz::Require(value->find_first_of(" \t\n'\"`$;&|<>()\\*?!{}[]#~+") == std::string::npos,
                    "an accepted value carries no shell syntax and no separator");
    IscsiAttachment read;
    const std::string cleanup = IscsiUtils::generateLinuxSessionCleanupString(portal, port, iqn);
    fuzz::Require(IscsiUtils::parseLinuxSessionCleanupString(cleanup, read), "a made cleanup string parses");
    fuzz::Require(read.targetPortal == portal && read.targetPort == port && read.iqn == iqn, "it reads back the same");
  }
  IscsiAttachment parsed;
  if (IscsiUtils::parseLinuxSessionCleanupString(fuzz::Text(data, size), parsed)) {
    std::string reason;
    IscsiUtils::isSafeAttachment(parsed, reason);
  }
  return 0;
}
