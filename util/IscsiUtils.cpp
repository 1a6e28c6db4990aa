#include "util/IscsiUtils.h"

#include <arpa/inet.h>

#include <regex>

#include "host/CWqString.h"
#include "util/OracleCloudInfoUtils.h"

namespace IscsiUtils {

EvEvent c_evEvent("vsagent");
const char* const kLinuxSessionId = "linux-session-id";

namespace {

const char kSeparator[] = "+";

// " -T <iqn> -p <portal>:<port>"
string TargetArguments(const IscsiAttachment& attachment) {
  return " -T " + attachment.iqn + " -p " + attachment.targetPortal + ":" + attachment.targetPort;
}

// The iscsiadm status of "no such record": the node record or session is not there.
constexpr int kNoObjectsFound = 21;

// Runs an iscsiadm command line after checking every value it carries; logs the failure. With
// `absentIsDone`, a command that finds nothing to remove (status 21) has done its work.
bool RunChecked(const IscsiAttachment& attachment, const string& command, const char* failureFormat, const char* tag,
                bool absentIsDone = false) {
  string reason;
  if (!isSafeAttachment(attachment, reason)) {
    c_evEvent.Error(tag, "Refusing to run iscsiadm: %s", reason.c_str());
    return false;
  }
  string output;
  int status = -1;
  if (OracleCloudInfoUtils::executeCommand(command, output, &status)) return true;
  if (absentIsDone && status == kNoObjectsFound) {
    c_evEvent.Debug(tag, "Nothing left to remove for [%s]", attachment.iqn.c_str());
    return true;
  }
  c_evEvent.Error(tag, failureFormat, command.c_str());
  if (!output.empty()) c_evEvent.Error(tag, "Error: [%s]", output.c_str());
  return false;
}

}  // namespace

bool isValidIqn(const string& iqn) {
  static const std::regex kIqn(
      "iqn\\.[0-9]{4}-(0[1-9]|1[0-2])\\.[a-z0-9]([a-z0-9-]*[a-z0-9])?(\\.[a-z0-9]([a-z0-9-]*[a-z0-9])?)*"
      "(:[a-z0-9.:-]+)?");
  static const std::regex kEui("eui\\.[0-9A-Fa-f]{16}");
  if (iqn.size() > 223) return false;
  return std::regex_match(iqn, kIqn) || std::regex_match(iqn, kEui);
}

bool isValidPortal(const string& portal) {
  if (portal.empty() || portal.size() > 253) return false;
  unsigned char address[16];
  if (inet_pton(AF_INET, portal.c_str(), address) == 1) return true;
  if (inet_pton(AF_INET6, portal.c_str(), address) == 1) return true;
  static const std::regex kHostName(
      "[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*");
  return std::regex_match(portal, kHostName);
}

bool isValidPort(const string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port)
    if (c < '0' || c > '9') return false;
  int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

bool isSafeAttachment(const IscsiAttachment& attachment, string& reason) {
  if (!isValidIqn(attachment.iqn)) {
    reason = "invalid target name [" + attachment.iqn + "]";
    return false;
  }
  if (!isValidPortal(attachment.targetPortal)) {
    reason = "invalid target portal [" + attachment.targetPortal + "]";
    return false;
  }
  if (!isValidPort(attachment.targetPort)) {
    reason = "invalid target port [" + attachment.targetPort + "]";
    return false;
  }
  return true;
}

string formIscsiAttachCommand(const IscsiAttachment& attachment) {
  const string target = TargetArguments(attachment);
  return "bash -c \"iscsiadm -m node -o new" + target + " && iscsiadm -m node" + target + " -l\"";
}

string formIscsiDetachCommand(const IscsiAttachment& attachment) {
  const string target = TargetArguments(attachment);
  return "bash -c \"iscsiadm -m  node" + target + " -u ; iscsiadm -m node -o delete" + target + "\"";
}

bool startIscsiSession(const IscsiAttachment& attachment, string& sessionId) {
  string reason;
  const bool safe = isSafeAttachment(attachment, reason);
  if (!RunChecked(attachment, formIscsiAttachCommand(attachment), "Error while executing command [%s]",
                  __PRETTY_FUNCTION__)) {
    // The node record made before the failed login would stay on the proxy until a sweep: the
    // logout form removes it now (its logout half finds no session). It is clean-up, so it runs to
    // its end even when the job was cancelled.
    if (safe) {
      EVDEBUG(c_evEvent, "Removing the node record of the failed login to [%s]", attachment.iqn.c_str());
      OracleCloudInfoUtils::CStopCommandsWhen cleanup(nullptr);
      string output;
      OracleCloudInfoUtils::executeCommand(formIscsiDetachCommand(attachment), output);
    }
    return false;
  }
  sessionId = kLinuxSessionId;
  return true;
}

bool iscsiAttach(IscsiAttachment& attachment) {
  bool result = true;
  string sessionId;
  if (!startIscsiSession(attachment, sessionId)) {
    EVERROR(c_evEvent, "Could not start iSCSI session");
    result = false;
  } else {
    attachment.sessionId = sessionId;
  }
  string cleanup = generateSessionCleanupString(attachment);
  if (cleanup.empty()) {
    EVERROR(c_evEvent, "Could not form iSCSI cleanup string");
    result = false;
  } else {
    attachment.cleanupString = cleanup;
  }
  return result;
}

bool endIscsiSession(const IscsiAttachment& attachment) {
  // The status is the delete's: a record that is already gone (a job killed before or during its
  // login, a second sweep) leaves nothing to do.
  return RunChecked(attachment, formIscsiDetachCommand(attachment), "Error while executing Command: [%s]",
                    __PRETTY_FUNCTION__, true);
}

bool iscsiDetach(const IscsiAttachment& attachment) {
  if (endIscsiSession(attachment)) return true;
  EVERROR(c_evEvent, "Could not end iSCSI session");
  return false;
}

bool iscsiDetach(const IscsiAttachment& attachment, string& cleanupString) {
  cleanupString = generateSessionCleanupString(attachment);
  if (cleanupString.empty()) {
    EVERROR(c_evEvent, "Could not form iSCSI cleanup string");
    return false;
  }
  return iscsiDetach(attachment);
}

bool iscsiDetach(const string& cleanupString) {
  IscsiAttachment attachment;
  if (!parseSessionCleanupString(cleanupString, attachment)) {
    EVERROR(c_evEvent, "Failed to parse iSCSI session cleanup string");
    return false;
  }
  return iscsiDetach(attachment);
}

string generateSessionCleanupString(const IscsiAttachment& attachment) {
  return generateLinuxSessionCleanupString(attachment.targetPortal, attachment.targetPort, attachment.iqn);
}

bool parseSessionCleanupString(const string& cleanupString, IscsiAttachment& attachment) {
  return parseLinuxSessionCleanupString(cleanupString, attachment);
}

string generateLinuxSessionCleanupString(const string& targetPortal, const string& targetPort, const string& iqn) {
  if (targetPortal.empty() || targetPort.empty() || iqn.empty()) {
    EVERROR(c_evEvent, "Atleast one of the input parameters is empty. targetPortal:[%s] targetPort:[%s] iqn:[%s]",
            targetPortal.c_str(), targetPort.c_str(), iqn.c_str());
    return string();
  }
  if (targetPortal.find(kSeparator) != string::npos || targetPort.find(kSeparator) != string::npos ||
      iqn.find(kSeparator) != string::npos) {
    EVERROR(c_evEvent,
            "Atleast one of the input parameters contains the separator [%s]. targetPortal:[%s] targetPort:[%s] "
            "iqn:[%s]",
            kSeparator, targetPortal.c_str(), targetPort.c_str(), iqn.c_str());
    return string();
  }
  string cleanup = targetPortal + kSeparator + targetPort + kSeparator + iqn;
  EVDEBUGLVL(c_evEvent, 2, "Linux cleanup string: [%s][%d]", cleanup.c_str(), static_cast<int>(cleanup.size()));
  return cleanup;
}

bool parseLinuxSessionCleanupString(const string& cleanupString, IscsiAttachment& attachment) {
  // Empty parts count, so "a++b" is three parts with an empty port and "a+b" only two.
  std::vector<CWqString> parts = CWqString(cleanupString).Tokenize(kSeparator, true);
  if (parts.size() != 3) {
    EVERROR(c_evEvent, "Failed to tokenize linux session cleanup string: [%s]", cleanupString.c_str());
    return false;
  }
  attachment.targetPortal = parts[0];
  attachment.targetPort = parts[1];
  attachment.iqn = parts[2];
  return true;
}

}  // namespace IscsiUtils
