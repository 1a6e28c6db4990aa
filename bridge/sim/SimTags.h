#pragma once
// Freeform tags: the key-value pairs a create request gives a resource, kept as long as the resource
// lives, read back with it and searchable by key and value. The bridge names the tags of its
// requests for the calling thread (CCreateTagsScope); every instance, volume, snapshot, image and
// object created in that scope carries them.
#include <map>
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

using STags = std::map<std::string, std::string>;

// The tag that carries the request token of a create (SetCreateToken), by which FindByToken finds it.
constexpr const char* kRequestTokenTag = "BackupRequest";

// While it lives, what the calling thread creates carries `tags` (which must outlive the scope).
class CCreateTagsScope {
 public:
  explicit CCreateTagsScope(const STags* tags);
  ~CCreateTagsScope();
  CCreateTagsScope(const CCreateTagsScope&) = delete;
  CCreateTagsScope& operator=(const CCreateTagsScope&) = delete;

 private:
  const STags* previous_;
};

// Gives a resource just created (inside its create's transaction) the tags of the calling thread.
void TagCreated(CSimDb& db, const std::string& kind, const std::string& id);

struct STaggedResource {
  std::string id, name;
  STags tags;
  // A volume attached to an instance: the instance and the iSCSI target it is offered as.
  std::string attachedTo, iqn, portal;
  int64_t port = 0;
};

class CSimTags {
 public:
  explicit CSimTags(CSimCloud& cloud) : cloud_(cloud) {}
  // The live resources of `kind` (instance, volume, snapshot, image) tagged key=value, oldest first.
  std::vector<STaggedResource> Find(const std::string& kind, const std::string& key, const std::string& value);
  // Removes `key` from a live resource's tags; refuses (CSimRefused) a resource that does not exist.
  void RemoveTag(const std::string& kind, const std::string& id, const std::string& key);
  // Gives a live resource exactly `tags` (an update of its freeform tags).
  void Replace(const std::string& kind, const std::string& id, const STags& tags);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
