#pragma once
// The cloud's HTTP request signatures (version 1, rsa-sha256): the client signs each request with
// its API key, and the emulator checks the signature with the user's public key. The signing string
// is built in one place for both, so the two can never disagree on it.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bridge/rest/ApiKey.h"

namespace OracleCloudSDKCppBridge {

// One HTTP request as it goes on the wire: `target` is the path with its query, already encoded.
struct SHttpRequest {
  std::string method{}, host{}, target{};
  std::vector<std::pair<std::string, std::string>> headers{};  // names as sent
  std::string body{};

  // The value of the header `name` (compared without case); empty when it has none.
  std::string Header(const std::string& name) const;
  void SetHeader(const std::string& name, const std::string& value);
};

// The headers a request signs, in order: "x-date (request-target) host", and for POST, PUT and PATCH
// with a signed body "content-type content-length x-content-sha256" after them.
std::vector<std::string> SignedHeaderNames(const std::string& method, bool excludeBody);
// "name: value" for each of `names` (lower-cased; "(request-target)" is "<method> <target>"), joined
// by newlines; false with `error` naming a header the request lacks.
bool SigningString(const SHttpRequest& request, const std::vector<std::string>& names, std::string& text,
                   std::string& error);
// An HTTP date (RFC 7231) of `seconds` since the epoch.
std::string HttpDate(long long seconds);
// Seconds since the epoch of an HTTP date written as HttpDate writes it; -1 when the text is none.
long long ParseHttpDate(const std::string& text);

class CRequestSigner {
 public:
  // keyId: "<tenancy>/<user>/<fingerprint>".
  CRequestSigner(std::string keyId, std::shared_ptr<const CPrivateKey> key);
  // Adds host, x-date (`date`), the body headers where they are signed, and the authorization header.
  // `excludeBody`: an object storage upload, whose body is not signed.
  bool Sign(SHttpRequest& request, const std::string& date, bool excludeBody, std::string& error) const;

 private:
  std::string keyId_;
  std::shared_ptr<const CPrivateKey> key_;
};

// The parts of a request's authorization header.
struct SSignatureHeader {
  std::string version, keyId, algorithm, signature;
  std::vector<std::string> headers;
};
// False with `error` when the header is no version 1 signature.
bool ParseSignatureHeader(const std::string& authorization, SSignatureHeader& parsed, std::string& error);
// True when `request` carries a valid signature of `key` over at least the headers its method needs,
// with a body that matches its x-content-sha256; else false with the reason in `error`.
bool VerifyRequestSignature(const SHttpRequest& request, const CPublicKey& key, std::string& error);

}  // namespace OracleCloudSDKCppBridge
