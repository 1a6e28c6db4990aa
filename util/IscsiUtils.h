#pragma once
// The iSCSI initiator commands of the proxy (iscsiadm through bash) and the session cleanup string:
// the one-line record "<portal>+<port>+<iqn>" of a session that a later process needs to log out.
#include <string>

#include "host/EvDebug.h"

struct IscsiAttachment {
  string targetPortal;
  string targetPort;
  string iqn;
  string sessionId;
  string cleanupString;
  bool isBootDisk = false;
};

namespace IscsiUtils {

extern EvEvent c_evEvent;

// The session id every Linux login gets.
extern const char* const kLinuxSessionId;

bool iscsiAttach(IscsiAttachment& attachment);
bool startIscsiSession(const IscsiAttachment& attachment, string& sessionId);
string formIscsiAttachCommand(const IscsiAttachment& attachment);

bool iscsiDetach(const string& cleanupString);
bool iscsiDetach(const IscsiAttachment& attachment, string& cleanupString);
bool iscsiDetach(const IscsiAttachment& attachment);
bool endIscsiSession(const IscsiAttachment& attachment);
string formIscsiDetachCommand(const IscsiAttachment& attachment);

string generateSessionCleanupString(const IscsiAttachment& attachment);
bool parseSessionCleanupString(const string& cleanupString, IscsiAttachment& attachment);
string generateLinuxSessionCleanupString(const string& targetPortal, const string& targetPort, const string& iqn);
bool parseLinuxSessionCleanupString(const string& cleanupString, IscsiAttachment& attachment);

// The values that reach the shell must match their grammar as a whole: an IQN ("iqn.yyyy-mm.<reversed
// domain>[:<identifier>]" of a-z 0-9 - . : at most 223 bytes, or "eui." and 16 hex digits), a portal
// (IPv4, IPv6 or DNS host name) and a port (decimal 1-65535). False, with the reason, otherwise.
bool isValidIqn(const string& iqn);
bool isValidPortal(const string& portal);
bool isValidPort(const string& port);
bool isSafeAttachment(const IscsiAttachment& attachment, string& reason);

}  // namespace IscsiUtils
