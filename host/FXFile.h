#pragma once
// File and path services of the host.
#include <string>

#include "host/HostTypes.h"

namespace FXFile {
bool DoesFileExist(const string& path);
// Size of a regular file or of a block device; on failure `error` (when given) says why.
bool TZGetFileSize(const string& path, UINT64& size, string* error = nullptr);
}  // namespace FXFile

namespace FXPath {
// base + "/" + name, without doubling a separator.
string Append(const string& base, const string& name);
string GetFileName(const string& path);
string GetParent(const string& path);
// A name that, joined to a folder, stays inside it: not empty, not "." or "..", no '/' and no NUL.
bool IsBareName(const string& name);
}  // namespace FXPath

// Reads a whole file into `content`.
bool ReadWholeFile(const string& path, string& content);
// The same for a regular file only, never following a symbolic link in the last component.
bool ReadRegularFile(const string& path, string& content);
// Writes `content` as the whole file, atomically: a temporary file beside it, fsync, rename. The
// file is its owner's alone (0600).
bool WriteWholeFile(const string& path, const string& content);
// Makes a folder (0700) or a file (0600) its owner's alone, whatever the umask made it; false, errno
// set, when it cannot.
bool MakeOwnerOnly(const string& path, bool isFolder);
// True when `name` ends with `extension` (case-insensitive; extension given with its dot).
bool IsFileExtnMatching(const string& name, const string& extension);
// A new random GUID in the 8-4-4-4-12 lower-case hexadecimal form.
bool CreateGuid(string& guid);

namespace TZPI_PlatformBase {
string getBaseHomeDirectory();
}
