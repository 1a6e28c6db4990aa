#pragma once
// What `backups` and `verify` print alike: times, sizes, and a failure (with --json, one object on
// stdout as well as the message on stderr).
#include <string>

#include "host/HostTypes.h"

namespace agent {

// "2026-12-08T18:44:08Z".
string IsoTimeUtc(long long seconds);
// "1.5 GiB", "512 B".
string ShownBytes(UINT64 bytes);
// Prints "backup-agent: MESSAGE" on stderr and, with `json`, {"ok": false, "step", "code", "message"}
// on stdout; returns `code`.
int FailCommand(bool json, const string& step, int code, const string& message);

}  // namespace agent
