#pragma once
// Names that jobs on this proxy are about to give to cloud resources. A job claims a name before it
// asks the cloud whether the name is free, so that two jobs choosing at the same moment never choose
// the same one. A claim is a file under <home>/claims/ that its job keeps locked: the claims of a
// killed job are free at once, and the others go with the object.
#include <vector>

#include "host/HostTypes.h"

class CNameClaims {
 public:
  CNameClaims() = default;
  ~CNameClaims() { ReleaseAll(); }
  CNameClaims(const CNameClaims&) = delete;
  CNameClaims& operator=(const CNameClaims&) = delete;

  enum class EClaim { Claimed, Taken, Failed };
  // Claimed when this object holds `name` now (or held it already); Taken while another live job
  // (another object, in any process) holds it; Failed, with `error`, when claims cannot be made here.
  EClaim Claim(const string& name, string& error);
  void ReleaseAll();

 private:
  struct SHeld {
    string name, path;
    int fd;
  };
  std::vector<SHeld> held_;
};
