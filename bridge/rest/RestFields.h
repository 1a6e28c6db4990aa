#pragma once
// The fields of the API's JSON resources as the client reads them.
#include <cstdint>
#include <map>
#include <string>

#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// A string member; empty when absent, null or no string.
std::string TextOf(const json& from, const char* key);
// A number member (a fraction rounded); 0 when absent or no number.
int64_t IntOf(const json& from, const char* key);
double NumberOf(const json& from, const char* key);
// The string values of the resource's freeformTags.
std::map<std::string, std::string> FreeformTagsOf(const json& resource);

// Seconds since the epoch of an RFC 3339 time ("2026-12-08T07:59:56.000Z", "...+01:00"); 0 when the
// text is not one.
int64_t ParseApiTime(const std::string& text);

}  // namespace OracleCloudSDKCppBridge
