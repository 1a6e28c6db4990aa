// The REST backend's session: Connect, the connection check, the web proxy, error texts and tags.
#include "bridge/rest/RestBridge.h"

#include <cstdlib>

#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/WebProxyAddress.h"
#include "bridge/rest/ApiConventions.h"
#include "bridge/rest/ApiCredentials.h"
#include "host/HostTypes.h"
#include "host/TZPlatformInfo.h"

namespace OracleCloudSDKCppBridge {
namespace {

bool IsLoopbackUrl(const std::string& url) {
  const std::string host = HostOfUrl(url);
  return host.rfind("127.0.0.1:", 0) == 0 || host == "127.0.0.1";
}

// "<file>[#<profile>]" of Connect's user; an empty one is the usual file's DEFAULT profile.
void SplitConfigUser(const std::string& user, std::string& file, std::string& profile) {
  const size_t hash = user.rfind('#');
  file = hash == std::string::npos ? user : user.substr(0, hash);
  profile = hash == std::string::npos ? "" : user.substr(hash + 1);
  const char* home = std::getenv("HOME");
  if (file.empty()) file = std::string(home ? home : "") + "/.oci/config";
  if (file.rfind("~/", 0) == 0 && home) file = std::string(home) + file.substr(1);
}

}  // namespace

CRestBridge::CRestBridge(int instanceType) : instanceType_(instanceType) {}

CRestBridge::~CRestBridge() = default;

bool CRestBridge::ServesUrl(const std::string& url) {
  return url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0;
}

bool CRestBridge::Fail(const std::string& text) {
  {
    MutexLock lock(mutex_);
    errors_[std::this_thread::get_id()] = text;
  }
  EVERROR(log_, "%s", text.c_str());
  return false;
}

string CRestBridge::GetLastError() const {
  MutexLock lock(mutex_);
  auto it = errors_.find(std::this_thread::get_id());
  return it == errors_.end() ? std::string() : it->second;
}

std::shared_ptr<CRestApi> CRestBridge::Api() const {
  MutexLock lock(mutex_);
  return api_;
}

bool CRestBridge::SetWebProxy(const string& host, const string& user, const string& password) {
  std::string error;
  if (!IsValidWebProxyAddress(host, error)) return Fail(error);
  MutexLock lock(mutex_);
  proxyHost_ = host, proxyUser_ = user, proxyPassword_ = password;
  return true;
}

bool CRestBridge::Connect(const string& url, const string& user, const string& password) {
  {
    MutexLock lock(mutex_);
    api_.reset();
  }
  if (instanceType_ == VSINST_ORACLE_CLOUD_CLASSIC)
    return Fail("The cloud's REST API serves the infrastructure flavour only; instance type " +
                std::to_string(instanceType_) + " connects to the simulator (sim://)");
  if (url.rfind("http://", 0) == 0 && !IsLoopbackUrl(url))
    return Fail("Plain HTTP to [" + HostOfUrl(url) +
                "] is refused: the cloud's API is reached over https:// "
                "(http:// serves only the emulator on 127.0.0.1)");
  if (HostOfUrl(url).empty()) return Fail("The cloud URL [" + url + "] names no host");
  std::string file, profile, error;
  SplitConfigUser(user, file, profile);
  SApiCredentials credentials;
  if (!ReadApiCredentials(file, profile, credentials, error)) return Fail("Cannot connect: " + error);
  if (!password.empty()) credentials.passphrase = password;
  std::unique_ptr<CRequestSigner> signer = MakeRequestSigner(credentials, error);
  if (!signer) return Fail("Cannot connect: " + error);
  SHttpOptions http;
  {
    MutexLock lock(mutex_);
    http.proxy = proxyHost_, http.proxyUser = proxyUser_, http.proxyPassword = proxyPassword_;
  }
  uint32_t retryBudgetSeconds = kDefaultRetryBudgetSeconds;
  TZPlatformInfo::getNumber("VirtualServer", kRetryBudgetKey, &retryBudgetSeconds);
  auto api = std::make_shared<CRestApi>(SRestEndpoints::FromUrl(url), std::move(signer), http, retryBudgetSeconds);
  try {
    COperationScope scope("Connect");
    api->Get(ERestService::Identity, "/20160918/tenancies/" + UrlEncode(credentials.tenancy));
  } catch (const CRestError& e) {
    return Fail("Cannot connect to [" + HostOfUrl(url) + "]: " + e.what());
  }
  {
    MutexLock lock(mutex_);
    api_ = api;
    tenancy_ = credentials.tenancy;
    region_ = credentials.region;
  }
  EVDEBUG(log_, "Connected to the cloud's API at [%s] as [%s] of tenancy [%s] in region [%s]", url.c_str(),
          credentials.user.c_str(), credentials.tenancy.c_str(), credentials.region.c_str());
  return true;
}

bool CRestBridge::CheckConnection() {
  return Run("CheckConnection", [this](CRestApi& api) {
    api.Get(ERestService::Identity, "/20160918/tenancies/" + UrlEncode(Tenancy()));
    return true;
  });
}

void CRestBridge::SetResourceTags(const std::map<string, string>& tags) {
  MutexLock lock(mutex_);
  createTags_ = tags;
}

json CRestBridge::CreateTags() const {
  json tags = json::object();
  {
    MutexLock lock(mutex_);
    for (const auto& [key, value] : createTags_) tags[key] = value;
  }
  const std::string token = COracleCloudSDKCppBridge::ThreadCreateToken();
  if (!token.empty()) tags[kRequestTokenTag] = token;
  return tags;
}

}  // namespace OracleCloudSDKCppBridge
