#pragma once
// Who a job is, in a form that outlives every file of the proxy: the boot, the process id and the
// process's start time. A later job tells from it alone whether that job is still running, also when
// the registry that knew it is gone.
#include <string>

#include "host/HostTypes.h"

namespace ProcessIdentity {

// "<boot id>/<pid>/<start time in clock ticks>" of the calling process; empty when /proc cannot tell.
string Current();
// True only when the identity provably names a job that is gone: a process of an earlier boot, or of
// this boot whose id is free or taken by a process started at another time. False when it runs, or
// when the identity cannot be read.
bool IsGone(const string& identity);

}  // namespace ProcessIdentity
