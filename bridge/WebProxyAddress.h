#pragma once
// Checks a web proxy address: "host[:port]", host being a host name, an IPv4 address or an IPv6
// address (bracketed when a port follows), port 1-65535.
#include <string>

namespace OracleCloudSDKCppBridge {

// True when `address` is valid; otherwise false with the reason in `error`.
bool IsValidWebProxyAddress(const std::string& address, std::string& error);

}  // namespace OracleCloudSDKCppBridge
