// `backup-agent registry --json`: what the registry holds, as another process sees it.
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include "TestSandbox.h"
#include "cleanup/OracleCloudCleaner.h"
#include "RegistryTestUtil.h"

namespace {

nlohmann::json RegistryJson(const CTestSandbox& sandbox) {
  std::string out;
  int rc = CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "registry", "--json"}, &out);
  EXPECT_EQ(rc, 0) << out;
  try {
    return nlohmann::json::parse(out);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not JSON: " << e.what() << "\n" << out;
    return nullptr;
  }
}

TEST(RegistryCommand, FreshSandboxListsNothing) {
  CTestSandbox sandbox;
  EXPECT_EQ(RegistryJson(sandbox), nlohmann::json::array());
}

TEST(RegistryCommand, ListsRootsWithTheirChildrenAndWhetherTheOwnerLives) {
  CTestSandbox sandbox;  // points TZ_BASE_HOME at the sandbox's home
  using nlohmann::json;
  auto expected = [](bool orphan) {
    return json::array(
        {{{"mode", "backup"},
          {"name", "ocid1.instance.src"},
          {"orphan", orphan},
          {"children", json::array({{{"type", "snapshot"}, {"name", "ocid1.volumebackup.1"}},
                                    {{"type", "iscsi-session"}, {"name", "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:abc"}}})}},
         {{"mode", "restore"},
          {"name", "restore guid/1"},
          {"orphan", orphan},
          {"children", json::array({{{"type", "disk"}, {"name", "ocid1.volume.1"}},
                                    {{"type", "object"}, {"name", "bucket+vm/disk 1.vmdk"}},
                                    {{"type", "vm"}, {"name", "ocid1.instance.new"}}})}}});
  };
  {
    COracleCloudCleaner c;
    ASSERT_TRUE(c.Init(""));
    ASSERT_TRUE(c.RegisterVM(VM_CLEANER_MODE_BACKUP, "ocid1.instance.src"));
    ASSERT_TRUE(c.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, "ocid1.instance.src", "ocid1.volumebackup.1"));
    ASSERT_TRUE(c.RegisterIscsiSession(VM_CLEANER_MODE_BACKUP, "ocid1.instance.src",
                                       "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:abc"));
    ASSERT_TRUE(c.RegisterVM(VM_CLEANER_MODE_RESTORE, "restore guid/1"));
    ASSERT_TRUE(c.RegisterDisk(VM_CLEANER_MODE_RESTORE, "restore guid/1", "ocid1.volume.1"));
    ASSERT_TRUE(c.RegisterVmdkObject(VM_CLEANER_MODE_RESTORE, "restore guid/1", "bucket", "vm/disk 1.vmdk"));
    ASSERT_TRUE(c.RegisterCreatedVM(VM_CLEANER_MODE_RESTORE, "restore guid/1", "ocid1.instance.new"));
    EXPECT_EQ(RegistryJson(sandbox), expected(false));
  }
  EXPECT_EQ(RegistryJson(sandbox), expected(true));
}

// The command only reads: a registry file it cannot use fails the command and is left as it is.
TEST(RegistryCommand, FailsOnAFileThatIsNotARegistryAndLeavesItUnchanged) {
  struct {
    const char* what;
    const char* sql;  // nullptr: garbage bytes
  } cases[] = {{"garbage", nullptr}, {"another database", "CREATE TABLE t(x); INSERT INTO t VALUES(1);"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CTestSandbox sandbox;
    const std::string directory = sandbox.Home() + "/registry";
    const std::string file = VMCleaner::DatabasePathFor(directory, "proxy");
    WriteTestFile(file, c.sql ? "" : std::string(4096, '\x17') + "not a database");
    if (c.sql) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }
    const std::string before = ReadTestFile(file);
    std::string out;
    EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "registry", "--json"}, &out), 0);
    EXPECT_NE(out.find(directory), std::string::npos) << out;
    EXPECT_TRUE(ReadTestFile(file) == before) << "the file was changed";
  }
}

}  // namespace
