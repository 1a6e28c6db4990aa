#include "bridge/WebProxyAddress.h"

#include <arpa/inet.h>

#include <cctype>

namespace OracleCloudSDKCppBridge {

namespace {

bool IsIpv4(const std::string& text) {
  in_addr addr;
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

bool IsIpv6(const std::string& text) {
  in6_addr addr;
  return inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

// RFC 1123 host name: labels of letters, digits and inner hyphens, 1-63 bytes each.
bool IsHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  bool allNumeric = true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('.', start);
    if (end == std::string::npos) end = text.size();
    std::string label = text.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (unsigned char c : label) {
      if (!std::isalnum(c) && c != '-') return false;
      if (!std::isdigit(c)) allNumeric = false;
    }
    start = end + 1;
  }
  // "300.1.2.3" is neither a name nor an address.
  return !allNumeric;
}

bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (unsigned char c : text) {
    if (!std::isdigit(c)) return false;
  }
  long port = std::stol(text);
  return port >= 1 && port <= 65535;
}

}  // namespace

bool IsValidWebProxyAddress(const std::string& address, std::string& error) {
  auto refuse = [&](const std::string& why) {
    error = "Invalid web proxy [" + address + "]: " + why;
    return false;
  };
  if (address.empty()) {
    error = "The web proxy host is empty";
    return false;
  }
  std::string host = address;
  std::string port;
  bool hasPort = false;
  if (address.front() == '[') {
    size_t close = address.find(']');
    if (close == std::string::npos) return refuse("unclosed '['");
    host = address.substr(1, close - 1);
    std::string rest = address.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return refuse("unexpected text after ']'");
      port = rest.substr(1);
      hasPort = true;
    }
    if (!IsIpv6(host)) return refuse("[" + host + "] is not an IPv6 address");
  } else if (IsIpv6(address)) {
    return true;
  } else {
    size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
      host = address.substr(0, colon);
      port = address.substr(colon + 1);
      hasPort = true;
    }
    if (!IsIpv4(host) && !IsHostName(host)) return refuse("[" + host + "] is not a host name or IP address");
  }
  if (hasPort && !IsPort(port)) return refuse("port [" + port + "] is not a number from 1 to 65535");
  return true;
}

}  // namespace OracleCloudSDKCppBridge
