#pragma once
// API keys (RSA, PEM): the private key a client signs with and the public key the emulator checks
// with. Error texts name the file and the cause, never the key's or the passphrase's bytes.
#include <memory>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

namespace OracleCloudSDKCppBridge {

// base64 of the SHA-256 of `bytes` (a request body's x-content-sha256).
std::string ContentSha256(const std::string& bytes);

class CPrivateKey {
 public:
  // Reads a PEM private key file. A file that group or others may read is refused (it must be its
  // owner's alone); an encrypted key needs its passphrase.
  static std::shared_ptr<CPrivateKey> Load(const std::string& path, const std::string& passphrase, std::string& error);
  // From PEM text (tests and key generation).
  static std::shared_ptr<CPrivateKey> FromPem(const std::string& pem, const std::string& passphrase,
                                              std::string& error);
  // A new 2048-bit key.
  static std::shared_ptr<CPrivateKey> Generate(std::string& error);
  ~CPrivateKey();
  CPrivateKey(const CPrivateKey&) = delete;
  CPrivateKey& operator=(const CPrivateKey&) = delete;

  // base64 of the rsa-sha256 signature of `text`.
  bool Sign(const std::string& text, std::string& signature, std::string& error) const;
  std::string PrivatePem() const;
  std::string PublicPem() const;
  // The key's fingerprint as the cloud shows it: MD5 of the public key's DER, "aa:bb:...".
  std::string Fingerprint() const;

 private:
  explicit CPrivateKey(EVP_PKEY* key) : key_(key) {}
  EVP_PKEY* key_;
};

class CPublicKey {
 public:
  static std::shared_ptr<CPublicKey> FromPem(const std::string& pem, std::string& error);
  ~CPublicKey();
  CPublicKey(const CPublicKey&) = delete;
  CPublicKey& operator=(const CPublicKey&) = delete;
  // True when `signature` (base64) is the rsa-sha256 signature of `text` by this key's pair.
  bool Verifies(const std::string& text, const std::string& signature) const;

 private:
  explicit CPublicKey(EVP_PKEY* key) : key_(key) {}
  EVP_PKEY* key_;
};

}  // namespace OracleCloudSDKCppBridge
