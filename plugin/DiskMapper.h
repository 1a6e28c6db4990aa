#pragma once
// The plug-in's disk mapper: the agent's Linux mapper as it is.
#include "host/CDiskMapperLinux.h"

class CDiskMapper : public CDiskMapperLinux {
 public:
  CDiskMapper() = default;
  ~CDiskMapper() override = default;
};
