#pragma once
// The tools' version and the commit they were built from, e.g. "1.0.0 (commit 9e593f6)"; a build
// outside a git checkout says "(commit unknown)", one from a changed tree adds "-dirty".
namespace cli {

const char* ToolVersion();

}  // namespace cli
