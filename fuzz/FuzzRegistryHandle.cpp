// Registry handles and cleaner paths ("/<mode>/<type>:<name>..."), and the keys of pending creates
// ("<kind>:<seconds>:<name>"): anything parses or is refused, and what is made parses back the same.
#include "FuzzInput.h"
#include "cleanup/OracleCloudCleaner.h"
#include "host/CleanerHandle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  CleanerHandle::SParsed parsed;
  if (CleanerHandle::Parse(text, parsed)) {
    fuzz::Require(!parsed.chain.empty(), "a handle names at least its root");
    std::string again = CleanerHandle::Root(parsed.mode, parsed.chain[0].type, parsed.chain[0].name);
    for (size_t i = 1; i < parsed.chain.size(); ++i)
      again = CleanerHandle::Child(again, parsed.chain[i].type, parsed.chain[i].name);
    CleanerHandle::SParsed reread;
    fuzz::Require(CleanerHandle::Parse(again, reread) && reread.chain.size() == parsed.chain.size(),
                  "a handle made from a parsed one parses to the same chain");
    for (size_t i = 0; i < parsed.chain.size(); ++i)
      fuzz::Require(reread.chain[i].name == parsed.chain[i].name && reread.chain[i].type == parsed.chain[i].type,
                    "every segment keeps its type and name");
  }
  std::string decoded;
  if (CleanerHandle::DecodeName(text, decoded))
    fuzz::Require(CleanerHandle::EncodeName(decoded).size() >= decoded.size(), "encoding never loses bytes");
  CleanerHandle::SParsed root;
  fuzz::Require(CleanerHandle::Parse(CleanerHandle::Root(7, 2, text), root) && root.chain.size() == 1 &&
                    root.chain[0].name == text,
                "any name survives the round trip");

  VM_Cleaner_EntityType kind = VM_CLEANER_ENTITY_VM;
  string name;
  INT64 since = 0;
  if (COracleCloudCleaner::ParsePendingCreateKey(text, kind, name, since)) {
    VM_Cleaner_EntityType kind2 = VM_CLEANER_ENTITY_VM;
    string name2;
    INT64 since2 = 0;
    fuzz::Require(COracleCloudCleaner::ParsePendingCreateKey(
                      COracleCloudCleaner::FormPendingCreateKey(kind, name, since), kind2, name2, since2) &&
                      kind2 == kind && name2 == name && since2 == since,
                  "a pending create's key reads back the same");
  }
  return 0;
}
