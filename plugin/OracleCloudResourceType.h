#pragma once
// The kinds of cloud resource the common wait routine polls.
enum OracleCloudResourceType : int {
  ORACLE_CLOUD_RESOURCE_SNAPSHOT = 1,
  ORACLE_CLOUD_RESOURCE_VOLUME = 2,
};
