// The cloud API's request signatures and credentials: what a signed request carries, what the
// verifier refuses, and how keys and configuration files are read and refused.
#include <sys/stat.h>

#include "HostTestUtil.h"
#include "bridge/rest/ApiCredentials.h"

using namespace OracleCloudSDKCppBridge;

namespace {

std::shared_ptr<CPrivateKey> NewKey() {
  std::string error;
  auto key = CPrivateKey::Generate(error);
  EXPECT_TRUE(key) << error;
  return key;
}

SHttpRequest Request(const std::string& method, const std::string& target, const std::string& body = "") {
  SHttpRequest request;
  request.method = method, request.host = "iaas.us-phoenix-1.example", request.target = target, request.body = body;
  return request;
}

// A signed request passes; each change made after signing is refused with its reason.
TEST(RequestSigner, SignsWhatTheMethodNeedsAndTheVerifierRefusesEveryChange) {
  const auto key = NewKey(), other = NewKey();
  std::string error;
  const auto publicKey = CPublicKey::FromPem(key->PublicPem(), error),
             otherPublic = CPublicKey::FromPem(other->PublicPem(), error);
  ASSERT_TRUE(publicKey && otherPublic) << error;
  const CRequestSigner signer("ocid1.tenancy.t/ocid1.user.u/aa:bb", key);
  const std::string date = HttpDate(1796700000);
  EXPECT_EQ(date, "Tue, 08 Dec 2026 03:20:00 GMT");

  SHttpRequest post = Request("POST", "/20160918/volumes", R"({"displayName":"v"})");
  ASSERT_TRUE(signer.Sign(post, date, false, error)) << error;
  const std::string auth = post.Header("Authorization");
  EXPECT_EQ(auth.substr(0, auth.find("signature=")),
            "Signature version=\"1\",keyId=\"ocid1.tenancy.t/ocid1.user.u/aa:bb\",algorithm=\"rsa-sha256\","
            "headers=\"x-date (request-target) host Content-Type Content-Length x-content-sha256\",");
  std::string text;
  ASSERT_TRUE(SigningString(post, SignedHeaderNames("POST", false), text, error));
  EXPECT_EQ(text, "x-date: " + date +
                      "\n(request-target): post /20160918/volumes\nhost: iaas.us-phoenix-1.example\n"
                      "content-type: application/json\ncontent-length: 19\nx-content-sha256: " +
                      ContentSha256(post.body));
  EXPECT_TRUE(VerifyRequestSignature(post, *publicKey, error)) << error;

  // An object upload signs no body; a GET signs no body headers.
  SHttpRequest put = Request("PUT", "/n/ns/b/bucket/o/stub%20disk", std::string(1000, 'x')),
               get = Request("GET", "/20160918/instances?compartmentId=c%201&limit=2");
  ASSERT_TRUE(signer.Sign(put, date, true, error) && signer.Sign(get, date, false, error)) << error;
  EXPECT_NE(put.Header("authorization").find("headers=\"x-date (request-target) host\""), std::string::npos);
  EXPECT_TRUE(put.Header("x-content-sha256").empty() && get.Header("content-length").empty());
  EXPECT_TRUE(VerifyRequestSignature(put, *publicKey, error) && VerifyRequestSignature(get, *publicKey, error))
      << error;

  const struct {
    const char* change;
    std::function<void(SHttpRequest&)> tamper;
    const char* reason;
  } tampers[] = {
      {"body", [](SHttpRequest& r) { r.body = R"({"displayName":"w"})"; },
       "the body does not match its x-content-sha256"},
      {"body and its digest",
       [](SHttpRequest& r) { r.body = "{}", r.SetHeader("x-content-sha256", ContentSha256("{}")); },
       "the signature does not match the request"},
      {"target", [](SHttpRequest& r) { r.target += "?x=1"; }, "the signature does not match the request"},
      {"date", [](SHttpRequest& r) { r.SetHeader("x-date", HttpDate(1796700001)); },
       "the signature does not match the request"},
      {"no signature", [](SHttpRequest& r) { r.SetHeader("authorization", "Bearer x"); },
       "the request carries no signature"},
      {"fewer headers",
       [](SHttpRequest& r) {
         std::string a = r.Header("authorization");
         r.SetHeader("authorization", a.replace(a.find(" Content-Type"), 13, ""));
       },
       "the signature does not cover the header [content-type]"},
      {"version 0",
       [](SHttpRequest& r) {
         std::string a = r.Header("authorization");
         r.SetHeader("authorization", a.replace(a.find("\"1\""), 3, "\"0\""));
       },
       "the signature is not a version 1 rsa-sha256 signature with a key id"},
  };
  for (const auto& t : tampers) {
    SHttpRequest changed = post;
    t.tamper(changed);
    EXPECT_FALSE(VerifyRequestSignature(changed, *publicKey, error)) << t.change;
    EXPECT_EQ(error, t.reason) << t.change;
  }
  EXPECT_FALSE(VerifyRequestSignature(post, *otherPublic, error));
  EXPECT_EQ(error, "the signature does not match the request") << "another user's key";
}

// Profiles take what they lack from DEFAULT; a key readable by others, or encrypted without its
// passphrase, is refused naming the file and the rule, and no error holds the passphrase.
TEST(ApiCredentials, ProfilesKeyFilesAndPassphrases) {
  hosttest::TempDir dir;
  const auto key = NewKey();
  const std::string plain = dir / "key.pem", config = dir / "config";
  hosttest::PutFile(plain, key->PrivatePem());
  hosttest::PutFile(config, "[DEFAULT]\nuser=ocid1.user.u\nfingerprint=" + key->Fingerprint() +
                                "\nkey_file=key.pem\ntenancy=ocid1.tenancy.t\nregion=us-phoenix-1\n"
                                "[OTHER]\nregion=us-ashburn-1\n[BROKEN]\nuser=\n");
  SApiCredentials c;
  std::string error;
  ASSERT_TRUE(ReadApiCredentials(config, "OTHER", c, error)) << error;
  EXPECT_EQ(c.region + " " + c.keyFile + " " + c.KeyId(),
            "us-ashburn-1 " + plain + " ocid1.tenancy.t/ocid1.user.u/" + key->Fingerprint());
  EXPECT_EQ(key->Fingerprint().size(), 47u);
  EXPECT_FALSE(ReadApiCredentials(config, "NONE", c, error));
  EXPECT_EQ(error, "the API configuration file [" + config + "] has no profile [NONE]");

  const std::string passphrase = "correct horse battery", locked = dir / "locked.pem";
  ::chmod(plain.c_str(), 0644);
  EXPECT_FALSE(MakeRequestSigner({.keyFile = plain}, error));
  EXPECT_EQ(error, "the key file [" + plain +
                       "] has mode 0644: group and others may not read or write an API key (chmod 600 it)");
  ::chmod(plain.c_str(), 0600);
  EXPECT_TRUE(MakeRequestSigner({.keyFile = plain}, error)) << error;
  std::string out;
  const std::string command =
      "openssl pkey -aes256 -passout pass:'" + passphrase + "' -in " + plain + " -out " + locked;
  ASSERT_EQ(std::system(command.c_str()), 0);
  ::chmod(locked.c_str(), 0600);
  for (const std::string given : {"", "wrong", passphrase.c_str()}) {
    const bool opened = MakeRequestSigner({.keyFile = locked, .passphrase = given}, error) != nullptr;
    EXPECT_EQ(opened, given == passphrase) << given;
    if (opened) continue;
    EXPECT_EQ(error.find(passphrase), std::string::npos);
    EXPECT_EQ(error.rfind("the key file [" + locked + "] holds an encrypted key", 0), 0u) << error;
  }
}

}  // namespace
