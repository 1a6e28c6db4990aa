#pragma once
// Passwords for the command line without putting them on it: an option shows in the process list,
// an environment variable or a file the owner alone may read does not.
#include <string>

#include "host/HostTypes.h"

namespace agent {

// Where one secret may come from: its option's value (`given`, when the option was given), the file
// its file option names, or the environment variable `variable`, in that order.
struct SSecretSources {
  string option;  // "--password", for messages
  bool given = false;
  string value;
  string fileOption;  // "--password-file"
  string file;        // empty: not given
  string variable;    // "BACKUP_AGENT_PASSWORD"
};

// Reads the secret; none given leaves it empty. A file must be a regular file that gives group and
// others no access (else refused naming its mode and `chmod 600`); its last line end is dropped.
// `error` never holds the secret.
bool ReadSecret(const SSecretSources& sources, string& secret, string& error);

}  // namespace agent
