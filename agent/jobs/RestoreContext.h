#pragma once
// The restore context the agent hands to the plug-in, made from a stored backup and the options.
#include <string>

#include "agent/jobs/JobOptions.h"
#include "agent/jobs/RestoreSource.h"
#include "host/JobContexts.h"

namespace agent {

// A full instance restore of `source` as `options.name`: one selected disk per stored disk, in the
// manifest's order. `configFilesPath` holds the copies of the saved configuration files and
// `jobResultsDir` is the plug-in's working folder.
RestoreCtx MakeRestoreCtx(const SRestoreSource& source, const SRestoreOptions& options, const string& configFilesPath,
                          const string& jobResultsDir);

// The classic flavour finds the saved configuration in `jobResultsDir`, each file listed as a record
// that is not restored, named by its file name; appended after the disks.
void ListSavedConfiguration(const SRestoreSource& source, RestoreCtx& ctx);

}  // namespace agent
