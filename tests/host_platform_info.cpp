// TZPlatformInfo and its INI reader: defaults, case rules, malformed lines, in-memory values, reloads.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "HostTestUtil.h"
#include "host/EvDebug.h"
#include "host/TZPlatformInfo.h"

namespace {

using hosttest::PutFile;

class HostPlatformInfo : public ::testing::Test {
 protected:
  hosttest::TempDir home;
  hosttest::ScopedEnv baseHome{"TZ_BASE_HOME", home.Path()};
  std::string ini = home / "etc/platform.ini";

  void SetUp() override {
    EvDebug::SetLogDirectory(home / "log");
    TZPlatformInfo::SetFilePath("");
    TZPlatformInfo::ClearValues();
    EvLogSink::Clear();
  }
  void TearDown() override {
    TZPlatformInfo::ClearValues();
    TZPlatformInfo::SetFilePath("");
    EvDebug::SetLogDirectory("");
  }
};

TEST_F(HostPlatformInfo, MissingFileReturnsZeroAndKeepsPresets) {
  ASSERT_FALSE(std::filesystem::exists(ini));
  UINT64 wide = 77;
  uint32_t narrow = 78;
  string text = "preset";
  bool flag = true;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nAny", &wide), 0);
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nAny", &narrow), 0);
  EXPECT_EQ(TZPlatformInfo::getString("VirtualServer", "sAny", &text), 0);
  EXPECT_EQ(TZPlatformInfo::getBoolean("VirtualServer", "bAny", &flag), 0);
  EXPECT_EQ(wide, 77u);
  EXPECT_EQ(narrow, 78u);
  EXPECT_EQ(text, "preset");
  EXPECT_TRUE(flag);
}

TEST_F(HostPlatformInfo, ReadsBaseHomeFileWithoutCaseInSectionsAndKeys) {
  PutFile(ini,
          "[VirtualServer]\n"
          "nMaxDisks = 12\n"
          "sUrl=sim://a=b\n"
          "bEnabled=yes\n"
          "[Other]\n"
          "nOnlyOther=5\n");
  UINT64 n = 0;
  EXPECT_EQ(TZPlatformInfo::getNumber("virtualserver", "NMAXDISKS", &n), 1);
  EXPECT_EQ(n, 12u);
  string s;
  EXPECT_EQ(TZPlatformInfo::getString("VIRTUALSERVER", "surl", &s), 1);
  EXPECT_EQ(s, "sim://a=b");  // only the first '=' separates
  bool b = false;
  EXPECT_EQ(TZPlatformInfo::getBoolean("VirtualServer", "bEnabled", &b), 1);
  EXPECT_TRUE(b);
  n = 9;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nOnlyOther", &n), 0) << "keys belong to their section";
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(TZPlatformInfo::getNumber("other", "nonlyother", &n), 1);
  EXPECT_EQ(n, 5u);
}

TEST_F(HostPlatformInfo, SetFilePathReadsAnotherFileUntilReset) {
  PutFile(ini, "[VirtualServer]\nnValue=1\n");
  string other = home / "custom/other.ini";
  PutFile(other, "[VirtualServer]\nnValue=2\n");
  UINT64 n = 0;
  TZPlatformInfo::SetFilePath(other);
  EXPECT_EQ(TZPlatformInfo::FilePath(), other);
  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, 2u);
  TZPlatformInfo::SetFilePath("");
  EXPECT_EQ(TZPlatformInfo::FilePath(), ini);
  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, 1u);
}

TEST_F(HostPlatformInfo, MalformedLinesAreIgnoredWithOneWarningEach) {
  PutFile(ini,
          "orphan=1\n"         // 1: key before any section
          "[VirtualServer]\n"  // 2
          "good1=10\n"         // 3
          "no equals sign\n"   // 4
          "[\n"                // 5
          "=value\n"           // 6
          "good2=20\n"         // 7: still in [VirtualServer]
          "; comment\n"        // 8
          "# comment\n"        // 9
          "\n"                 // 10
          "  good3 = 30  \n");  // 11
  // Several lookups: the file is parsed once, so each bad line is reported once.
  for (int round = 0; round < 3; ++round) {
    UINT64 n = 0;
    EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "good1", &n), 1);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "good2", &n), 1);
    EXPECT_EQ(n, 20u);
    EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "good3", &n), 1);
    EXPECT_EQ(n, 30u);
    EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "orphan", &n), 0);
  }
  EXPECT_EQ(EvLogSink::Count("of configuration file [" + ini + "]"), 4u);
  for (int line : {1, 4, 5, 6})
    EXPECT_EQ(EvLogSink::Count("line " + std::to_string(line) + " of configuration file [" + ini + "]"), 1u)
        << "line " << line;
  for (int line : {2, 3, 7, 8, 9, 10, 11})
    EXPECT_EQ(EvLogSink::Count("line " + std::to_string(line) + " of configuration file"), 0u) << "line " << line;
}

TEST_F(HostPlatformInfo, NonNumericValueGivesZeroAndKeepsPreset) {
  for (const char* bad : {"abc", "12abc", "-5", "", "1.5", "18446744073709551616"}) {
    TZPlatformInfo::SetValue("VirtualServer", "nValue", bad);
    UINT64 n = 41;
    EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 0) << "[" << bad << "]";
    EXPECT_EQ(n, 41u) << "[" << bad << "]";
  }
  TZPlatformInfo::SetValue("VirtualServer", "nValue", "18446744073709551615");
  UINT64 n = 0;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, UINT64_MAX);
}

TEST_F(HostPlatformInfo, NarrowGetNumberCopiesOnlyWhenFound) {
  uint32_t n = 5;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nMissing", &n), 0);
  EXPECT_EQ(n, 5u);
  PutFile(ini, "[VirtualServer]\nnBad=x7\nnGood=42\n");
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nBad", &n), 0);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nGood", &n), 1);
  EXPECT_EQ(n, 42u);
}

TEST_F(HostPlatformInfo, BooleanForms) {
  struct Case {
    const char* text;
    int found;
    bool value;
  };
  const Case cases[] = {{"true", 1, true}, {"TRUE", 1, true}, {"1", 1, true},   {"yes", 1, true},
                        {"Yes", 1, true},  {"false", 1, false}, {"0", 1, false}, {"no", 1, false},
                        {"NO", 1, false},  {"maybe", 0, false}, {"2", 0, false}};
  for (const Case& c : cases) {
    TZPlatformInfo::SetValue("VirtualServer", "bValue", c.text);
    for (bool preset : {false, true}) {
      bool b = preset;
      EXPECT_EQ(TZPlatformInfo::getBoolean("VirtualServer", "bValue", &b), c.found) << c.text;
      EXPECT_EQ(b, c.found ? c.value : preset) << c.text << " preset " << preset;
    }
  }
}

TEST_F(HostPlatformInfo, InMemoryValueWinsOverFileUntilRemovedOrCleared) {
  PutFile(ini, "[VirtualServer]\nsName=file\n");
  string s;
  TZPlatformInfo::SetValue("virtualSERVER", "SNAME", "memory");
  ASSERT_EQ(TZPlatformInfo::getString("VirtualServer", "sName", &s), 1);
  EXPECT_EQ(s, "memory");
  TZPlatformInfo::RemoveValue("VirtualServer", "sName");
  ASSERT_EQ(TZPlatformInfo::getString("VirtualServer", "sName", &s), 1);
  EXPECT_EQ(s, "file");
  TZPlatformInfo::SetValue("VirtualServer", "sName", "memory");
  TZPlatformInfo::SetValue("VirtualServer", "sOnlyMemory", "x");
  TZPlatformInfo::ClearValues();
  ASSERT_EQ(TZPlatformInfo::getString("VirtualServer", "sName", &s), 1);
  EXPECT_EQ(s, "file");
  s = "kept";
  EXPECT_EQ(TZPlatformInfo::getString("VirtualServer", "sOnlyMemory", &s), 0);
  EXPECT_EQ(s, "kept");
}

TEST_F(HostPlatformInfo, ChangedFileIsReadAgain) {
  UINT64 n = 0;
  PutFile(ini, "[VirtualServer]\nnValue=1\n");
  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, 1u);
  PutFile(ini, "[VirtualServer]\nnValue=222\nnAdded=3\n");
  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, 222u);
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nAdded", &n), 1);
  std::filesystem::remove(ini);
  n = 8;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 0);
  EXPECT_EQ(n, 8u);
}

// A file replaced by rename with the same size inside one file-system timestamp tick (coarse
// timestamps) keeps size and modification time; it is still another file and must be read.
TEST_F(HostPlatformInfo, FileReplacedWithSameSizeAndTimeIsReadAgain) {
  UINT64 n = 0;
  PutFile(ini, "[VirtualServer]\nnValue=1\n");
  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  ASSERT_EQ(n, 1u);
  struct stat before {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);

  string next = ini + ".new";
  PutFile(next, "[VirtualServer]\nnValue=2\n");
  decltype(before.st_mtim) times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, next.c_str(), times, 0), 0);
  std::filesystem::rename(next, ini);

  ASSERT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nValue", &n), 1);
  EXPECT_EQ(n, 2u);
}

}  // namespace
