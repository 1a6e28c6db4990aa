// CVMInfo's host defaults: error state, cancel flag, unsupported operations, filters, host cache.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "HostTestUtil.h"
#include "host/CVMInfo.h"

namespace {

using namespace VMInfoStructs;

// Reaches the protected helpers the plug-in builds on.
class ExposedVMInfo : public CVMInfo {
 public:
  ExposedVMInfo() : CVMInfo(VSINST_ORACLE_CLOUD_INFRASTRUCTURE) {}
  using CVMInfo::_FilterHostInfoList;
  using CVMInfo::_FilterVMInfoList;
  using CVMInfo::_PrepareMountPathDirectory;
  using CVMInfo::_RefreshHostInfoCache;
  using CVMInfo::IsNewHostDiscoveryReq;
  using CVMInfo::ResetCaches;
};

class HostVMInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    EvDebug::SetLogDirectory("");
    EvLogSink::Clear();
  }
};

TEST_F(HostVMInfo, ErrorCodeAndDetailsAreKept) {
  CVMInfo info(VSINST_ORACLE_CLOUD_CLASSIC);
  EXPECT_EQ(info.GetVSInstType(), VSINST_ORACLE_CLOUD_CLASSIC);
  EXPECT_EQ(info.GetLastVMError(), VMERR_NONE);
  EXPECT_EQ(info.GetLastVMErrorDetails(), "");
  info.SetLastVMError(VMERR_NO_FREE_ATTACH_SLOT);
  info.SetLastVMErrorDetails("no free slot on [x]");
  IVMInfo& asInterface = info;
  EXPECT_EQ(asInterface.GetLastVMError(), VMERR_NO_FREE_ATTACH_SLOT);
  EXPECT_EQ(static_cast<int>(asInterface.GetLastVMError()), 189);
  EXPECT_EQ(asInterface.GetLastVMErrorDetails(), "no free slot on [x]");
}

TEST_F(HostVMInfo, CancelFlagIsSeenByOtherThreads) {
  CVMInfo info(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_FALSE(info.IsJobCancelled());
  std::atomic<bool> sawCancel{false};
  std::thread worker([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!info.IsJobCancelled() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    sawCancel = info.IsJobCancelled();
  });
  info.SetJobCancelled(true);
  worker.join();
  EXPECT_TRUE(sawCancel.load());
  info.SetJobCancelled(false);
  EXPECT_FALSE(info.IsJobCancelled());
}

TEST_F(HostVMInfo, UnsupportedOperationsReturnZeroAndSaySo) {
  CVMInfo info(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  MountCtx mount;
  RestoreCtx restore;
  OperationCtx operation;
  std::vector<SVMInfo> vms;
  std::vector<SHostInfo> hosts;
  SVMInfo vm;
  VmdkHandle handle;
  const std::vector<std::pair<const char*, std::function<int()>>> calls = {
      {"Connect", [&] { return info.Connect("sim://x", "u", "p"); }},
      {"GetVMInfoList", [&] { return info.GetVMInfoList(vms, 0, 0, nullptr, FILTER_TYPE_NONE); }},
      {"GetHostInfoList", [&] { return info.GetHostInfoList(hosts, 0, 0, nullptr, FILTER_TYPE_NONE); }},
      {"GetVMInfoForVM", [&] { return info.GetVMInfoForVM("n", "g", "h", 0, 0, vm); }},
      {"MountVM", [&] { return info.MountVM(mount); }},
      {"UnmountVM", [&] { return info.UnmountVM(mount); }},
      {"OpenVmdk", [&] { return info.OpenVmdk("f", "g", "d", handle); }},
      {"RestoreVM", [&] { return info.RestoreVM(restore); }},
      {"CleanupRestoreVM", [&] { return info.CleanupRestoreVM(restore); }},
      {"PerformVMOperation", [&] { return info.PerformVMOperation(operation); }},
  };
  for (const auto& [name, call] : calls) {
    EvLogSink::Clear();
    EXPECT_EQ(call(), 0) << name;
    EXPECT_TRUE(EvLogSink::Contains("not supported", string("CVMInfo::") + name + "(")) << name;
  }
  // Session steps and the stream limit have working defaults.
  EXPECT_EQ(info.Init(0), 1);
  EXPECT_EQ(info.DeInit(false), 1);
  EXPECT_EQ(info.Disconnect(), 1);
  EXPECT_EQ(info.CollectMetadata(mount), 1);
  EXPECT_EQ(info.GetStreamLimit(), 1);
  EXPECT_EQ(info.GetLastVMError(), VMERR_NONE) << "a default does not invent an error code";
}

std::vector<string> Names(const auto& records) {
  std::vector<string> names;
  for (const auto& r : records) names.push_back(r.name);
  return names;
}

TEST_F(HostVMInfo, FiltersKeepOrDropMatchingNames) {
  ExposedVMInfo info;
  std::vector<SVMInfo> vms(5);
  const char* vmNames[] = {"web-01", "WEB-02", "db-01", "db-10", "cache"};
  for (size_t i = 0; i < vms.size(); ++i) vms[i].name = vmNames[i];
  std::vector<SHostInfo> hosts(3);
  hosts[0].name = "ad-1";
  hosts[1].name = "AD-2";
  hosts[2].name = "other";

  struct Case {
    std::vector<string> filters;
    EFilterType type;
    std::vector<string> kept;
  };
  const Case cases[] = {
      {{"web-*"}, FILTER_TYPE_INCLUDE, {"web-01", "WEB-02"}},
      {{"web-*"}, FILTER_TYPE_EXCLUDE, {"db-01", "db-10", "cache"}},
      {{"DB-0?"}, FILTER_TYPE_INCLUDE, {"db-01"}},
      {{"db-?", "cache"}, FILTER_TYPE_INCLUDE, {"cache"}},
      {{"*-1*", "CACHE"}, FILTER_TYPE_EXCLUDE, {"web-01", "WEB-02", "db-01"}},
      {{"web-*"}, FILTER_TYPE_NONE, {"web-01", "WEB-02", "db-01", "db-10", "cache"}},
      {{"nothing"}, FILTER_TYPE_EXCLUDE, {"web-01", "WEB-02", "db-01", "db-10", "cache"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Names(info._FilterVMInfoList(vms, c.filters, c.type)), c.kept)
        << c.filters[0] << " type " << static_cast<int>(c.type);

  EXPECT_EQ(Names(info._FilterHostInfoList(hosts, {"ad-?"}, FILTER_TYPE_INCLUDE)),
            (std::vector<string>{"ad-1", "AD-2"}));
  EXPECT_EQ(Names(info._FilterHostInfoList(hosts, {"ad-?"}, FILTER_TYPE_EXCLUDE)), (std::vector<string>{"other"}));
  EXPECT_EQ(Names(info._FilterHostInfoList(hosts, {"x"}, FILTER_TYPE_NONE)),
            (std::vector<string>{"ad-1", "AD-2", "other"}));
}

TEST_F(HostVMInfo, HostDiscoveryIsDueUntilTheCacheIsFilledForTheSameRequest) {
  ExposedVMInfo info;
  EXPECT_TRUE(info.IsNewHostDiscoveryReq(4, 1));
  ASSERT_EQ(info._RefreshHostInfoCache(4, 1), 1);
  EXPECT_FALSE(info.IsNewHostDiscoveryReq(4, 1));
  EXPECT_TRUE(info.IsNewHostDiscoveryReq(8, 1)) << "other flags";
  EXPECT_TRUE(info.IsNewHostDiscoveryReq(4, 2)) << "other option";
  EXPECT_FALSE(info.IsNewHostDiscoveryReq(4, 1)) << "asking does not change the cache";
  info.ResetCaches();
  EXPECT_TRUE(info.IsNewHostDiscoveryReq(4, 1));
}

TEST_F(HostVMInfo, PrepareMountPathDirectory) {
  hosttest::TempDir dir;
  ExposedVMInfo info;
  EXPECT_TRUE(info._PrepareMountPathDirectory(dir.Path().c_str(), false));
  std::string missing = dir / "jobs/42/mount";
  EXPECT_FALSE(info._PrepareMountPathDirectory(missing.c_str(), false));
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(info._PrepareMountPathDirectory(missing.c_str(), true));
  EXPECT_TRUE(std::filesystem::is_directory(missing));
  hosttest::PutFile(dir / "file", "x");
  EXPECT_FALSE(info._PrepareMountPathDirectory((dir / "file").c_str(), true));
  EXPECT_FALSE(info._PrepareMountPathDirectory("", true));
  EXPECT_FALSE(info._PrepareMountPathDirectory(nullptr, true));
}

}  // namespace
