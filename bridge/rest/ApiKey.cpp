#include "bridge/rest/ApiKey.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/ErrnoText.h"
#include "host/FXFile.h"

namespace OracleCloudSDKCppBridge {
namespace {

struct SBioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, SBioFree>;
struct SMdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, SMdCtxFree>;

// OpenSSL's reason for the last failure, without the data that was being read.
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  return reason ? reason : "not a PEM key";
}

std::string Base64(const unsigned char* bytes, size_t size) {
  std::vector<unsigned char> out(4 * ((size + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), bytes, static_cast<int>(size));
  return std::string(reinterpret_cast<char*>(out.data()), n > 0 ? n : 0);
}

bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  bytes.assign(3 * text.size() / 4, 0);
  const int n =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
  bytes.resize(static_cast<size_t>(n) - padding);
  return true;
}

std::string PemOf(EVP_PKEY* key, bool isPrivate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  const int ok = isPrivate ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                           : PEM_write_bio_PUBKEY(bio.get(), key);
  char* data = nullptr;
  const long size = ok ? BIO_get_mem_data(bio.get(), &data) : 0;
  return std::string(data ? data : "", static_cast<size_t>(size > 0 ? size : 0));
}

// The passphrase callback: an encrypted key without a passphrase fails instead of asking a terminal.
int GivePassphrase(char* buffer, int size, int, void* user) {
  const std::string& passphrase = *static_cast<const std::string*>(user);
  if (passphrase.empty() || passphrase.size() > static_cast<size_t>(size)) return -1;
  // OpenSSL takes the returned length, not a terminating NUL.
  std::memcpy(buffer, passphrase.data(), passphrase.size());  // NOLINT(bugprone-not-null-terminated-result)
  return static_cast<int>(passphrase.size());
}

}  // namespace

std::string ContentSha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return Base64(digest, length);
}

std::shared_ptr<CPrivateKey> CPrivateKey::Load(const std::string& path, const std::string& passphrase,
                                               std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = "the key file [" + path + "] cannot be read: " + ErrnoText(errno);
    return nullptr;
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "the key file [" + path + "] has mode " + mode +
            ": group and others may not read or write an API key (chmod 600 it)";
    return nullptr;
  }
  std::string pem;
  if (!ReadWholeFile(path, pem)) {
    error = "the key file [" + path + "] cannot be read: " + ErrnoText(errno);
    return nullptr;
  }
  std::shared_ptr<CPrivateKey> key = FromPem(pem, passphrase, error);
  std::fill(pem.begin(), pem.end(), '\0');
  if (!key) error = "the key file [" + path + "] " + error;
  return key;
}

std::shared_ptr<CPrivateKey> CPrivateKey::FromPem(const std::string& pem, const std::string& passphrase,
                                                  std::string& error) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::string given = passphrase;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &given);
  std::fill(given.begin(), given.end(), '\0');
  if (!key) {
    const bool encrypted = pem.find("ENCRYPTED") != std::string::npos;
    ERR_clear_error();
    error = encrypted ? (passphrase.empty() ? "holds an encrypted key and no passphrase was given"
                                            : "holds an encrypted key that the passphrase given does not open")
                      : "holds no private key in PEM form";
    return nullptr;
  }
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key);
    error = "holds a key that is not an RSA key";
    return nullptr;
  }
  return std::shared_ptr<CPrivateKey>(new CPrivateKey(key));
}

std::shared_ptr<CPrivateKey> CPrivateKey::Generate(std::string& error) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (!key) {
    error = "cannot make an RSA key: " + OpenSslReason();
    return nullptr;
  }
  return std::shared_ptr<CPrivateKey>(new CPrivateKey(key));
}

CPrivateKey::~CPrivateKey() { EVP_PKEY_free(key_); }

bool CPrivateKey::Sign(const std::string& text, std::string& signature, std::string& error) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  size_t size = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(text.data()), text.size()) !=
          1) {
    error = "cannot sign the request: " + OpenSslReason();
    return false;
  }
  std::vector<unsigned char> bytes(size);
  if (EVP_DigestSign(ctx.get(), bytes.data(), &size, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size()) != 1) {
    error = "cannot sign the request: " + OpenSslReason();
    return false;
  }
  signature = Base64(bytes.data(), size);
  return true;
}

std::string CPrivateKey::PrivatePem() const { return PemOf(key_, true); }
std::string CPrivateKey::PublicPem() const { return PemOf(key_, false); }

std::string CPrivateKey::Fingerprint() const {
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key_, &der);
  if (size <= 0) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(der, static_cast<size_t>(size), digest, &length, EVP_md5(), nullptr);
  OPENSSL_free(der);
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, i ? ":%02x" : "%02x", digest[i]);
    text += hex;
  }
  return text;
}

std::shared_ptr<CPublicKey> CPublicKey::FromPem(const std::string& pem, std::string& error) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  if (!key) {
    error = "not a public key in PEM form: " + OpenSslReason();
    return nullptr;
  }
  return std::shared_ptr<CPublicKey>(new CPublicKey(key));
}

CPublicKey::~CPublicKey() { EVP_PKEY_free(key_); }

bool CPublicKey::Verifies(const std::string& text, const std::string& signature) const {
  std::vector<unsigned char> bytes;
  if (!DecodeBase64(signature, bytes)) return false;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_) == 1 &&
                  EVP_DigestVerify(ctx.get(), bytes.data(), bytes.size(),
                                   reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace OracleCloudSDKCppBridge
