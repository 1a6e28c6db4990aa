#include "bridge/rest/RequestSigner.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace OracleCloudSDKCppBridge {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool SignsBody(const std::string& method, bool excludeBody) {
  return !excludeBody && (method == "POST" || method == "PUT" || method == "PATCH");
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

std::string SHttpRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

void SHttpRequest::SetHeader(const std::string& name, const std::string& value) {
  for (auto& [key, old] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) {
      old = value;
      return;
    }
  headers.emplace_back(name, value);
}

std::vector<std::string> SignedHeaderNames(const std::string& method, bool excludeBody) {
  std::vector<std::string> names = {"x-date", "(request-target)", "host"};
  // The cloud's clients write these two in their usual capitals; the signing string lower-cases them.
  if (SignsBody(method, excludeBody)) names.insert(names.end(), {"Content-Type", "Content-Length", "x-content-sha256"});
  return names;
}

bool SigningString(const SHttpRequest& request, const std::vector<std::string>& names, std::string& text,
                   std::string& error) {
  text.clear();
  for (const auto& name : names) {
    const std::string lower = Lower(name);
    const std::string value =
        lower == "(request-target)"
            ? Lower(request.method) + " " + request.target
            : (lower == "host" && request.Header("host").empty() ? request.host : request.Header(lower));
    if (value.empty()) {
      error = "the signed header [" + lower + "] is not in the request";
      return false;
    }
    text += (text.empty() ? "" : "\n") + lower + ": " + value;
  }
  return true;
}

namespace {
constexpr const char* kHttpDateFormat = "%a, %d %b %Y %H:%M:%S GMT";
}  // namespace

std::string HttpDate(long long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  char text[40];
  std::strftime(text, sizeof text, kHttpDateFormat, &utc);
  return text;
}

long long ParseHttpDate(const std::string& text) {
  struct tm parts = {};
  const char* end = strptime(text.c_str(), kHttpDateFormat, &parts);
  return end && *end == '\0' ? static_cast<long long>(timegm(&parts)) : -1;
}

CRequestSigner::CRequestSigner(std::string keyId, std::shared_ptr<const CPrivateKey> key)
    : keyId_(std::move(keyId)), key_(std::move(key)) {}

bool CRequestSigner::Sign(SHttpRequest& request, const std::string& date, bool excludeBody, std::string& error) const {
  request.SetHeader("host", request.host);
  request.SetHeader("x-date", date);
  if (SignsBody(request.method, excludeBody)) {
    if (request.Header("content-type").empty()) request.SetHeader("content-type", "application/json");
    request.SetHeader("content-length", std::to_string(request.body.size()));
    request.SetHeader("x-content-sha256", ContentSha256(request.body));
  }
  const std::vector<std::string> names = SignedHeaderNames(request.method, excludeBody);
  std::string text, signature;
  if (!SigningString(request, names, text, error) || !key_->Sign(text, signature, error)) return false;
  request.SetHeader("authorization", "Signature version=\"1\",keyId=\"" + keyId_ +
                                         "\",algorithm=\"rsa-sha256\",headers=\"" + Joined(names) + "\",signature=\"" +
                                         signature + "\"");
  return true;
}

bool ParseSignatureHeader(const std::string& authorization, SSignatureHeader& parsed, std::string& error) {
  static const std::string kScheme = "Signature ";
  if (authorization.compare(0, kScheme.size(), kScheme) != 0) {
    error = "the request carries no signature";
    return false;
  }
  parsed = SSignatureHeader();
  std::string headers;
  // key="value" pairs separated by commas; values hold no quotes.
  for (size_t at = kScheme.size(); at < authorization.size();) {
    const size_t equals = authorization.find("=\"", at);
    const size_t close = equals == std::string::npos ? equals : authorization.find('"', equals + 2);
    if (close == std::string::npos) {
      error = "the signature header is malformed";
      return false;
    }
    const std::string key = authorization.substr(at, equals - at),
                      value = authorization.substr(equals + 2, close - equals - 2);
    if (key == "version")
      parsed.version = value;
    else if (key == "keyId")
      parsed.keyId = value;
    else if (key == "algorithm")
      parsed.algorithm = value;
    else if (key == "headers")
      headers = value;
    else if (key == "signature")
      parsed.signature = value;
    at = close + 1;
    if (at < authorization.size() && authorization[at] != ',') {
      error = "the signature header is malformed";
      return false;
    }
    ++at;
  }
  for (size_t at = 0; at <= headers.size();) {
    const size_t space = std::min(headers.find(' ', at), headers.size());
    if (space > at) parsed.headers.push_back(Lower(headers.substr(at, space - at)));
    at = space + 1;
  }
  if (parsed.version != "1" || parsed.algorithm != "rsa-sha256" || parsed.keyId.empty() || parsed.signature.empty()) {
    error = "the signature is not a version 1 rsa-sha256 signature with a key id";
    return false;
  }
  return true;
}

bool VerifyRequestSignature(const SHttpRequest& request, const CPublicKey& key, std::string& error) {
  SSignatureHeader parsed;
  if (!ParseSignatureHeader(request.Header("authorization"), parsed, error)) return false;
  // Either date header may be the signed one; the body's headers are needed where the method has one.
  std::vector<std::string> needed =
      SignedHeaderNames(request.method, request.Header("x-content-sha256").empty() && request.method == "PUT");
  for (auto& name : needed) {
    name = Lower(name);
    const bool has =
        std::find(parsed.headers.begin(), parsed.headers.end(), name) != parsed.headers.end() ||
        (name == "x-date" && std::find(parsed.headers.begin(), parsed.headers.end(), "date") != parsed.headers.end());
    if (!has) {
      error = "the signature does not cover the header [" + name + "]";
      return false;
    }
  }
  std::string text;
  if (!SigningString(request, parsed.headers, text, error)) return false;
  if (!key.Verifies(text, parsed.signature)) {
    error = "the signature does not match the request";
    return false;
  }
  const std::string sha = request.Header("x-content-sha256");
  if (!sha.empty() && sha != ContentSha256(request.body)) {
    error = "the body does not match its x-content-sha256";
    return false;
  }
  if (!request.Header("content-length").empty() &&
      request.Header("content-length") != std::to_string(request.body.size())) {
    error = "the body does not match its content-length";
    return false;
  }
  return true;
}

}  // namespace OracleCloudSDKCppBridge
