// File, path, directory and string utilities of the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "HostTestUtil.h"
#include "host/CWqDirectory.h"
#include "host/CWqString.h"
#include "host/FXFile.h"
#include "host/FXString.h"

namespace {

namespace fs = std::filesystem;
using hosttest::GetFile;
using hosttest::ListNames;
using hosttest::PutFile;

TEST(HostFiles, WriteWholeFileReplacesByRenameAndLeavesNoTemporary) {
  hosttest::TempDir dir;
  string path = dir / "state.json";
  PutFile(path, "old content");
  // A reader holding the old file keeps seeing it whole: the new file is a new inode.
  int reader = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  struct stat before {};
  ASSERT_EQ(::fstat(reader, &before), 0);

  ASSERT_TRUE(WriteWholeFile(path, "new"));
  EXPECT_EQ(GetFile(path), "new");
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  char buffer[32] = {};
  ssize_t n = ::pread(reader, buffer, sizeof buffer, 0);
  ::close(reader);
  EXPECT_EQ(string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "old content");

  ASSERT_TRUE(WriteWholeFile(dir / "fresh.txt", ""));
  EXPECT_TRUE(fs::exists(dir / "fresh.txt"));
  EXPECT_EQ(fs::file_size(dir / "fresh.txt"), 0u);
  EXPECT_EQ(ListNames(dir.Path()), (std::set<string>{"state.json", "fresh.txt"}));
}

TEST(HostFiles, WriteWholeFileFailsCleanly) {
  hosttest::TempDir dir;
  EXPECT_FALSE(WriteWholeFile(dir / "missing/folder/file.txt", "x"));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_FALSE(WriteWholeFile("", "x"));
  // The target is a folder: the rename fails and the temporary file is removed.
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(WriteWholeFile(dir / "folder", "x"));
  EXPECT_EQ(ListNames(dir.Path()), (std::set<string>{"folder"}));
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
}

TEST(HostFiles, ReadWholeFileRoundTripsBinaryContent) {
  hosttest::TempDir dir;
  string content;
  for (int i = 0; i < 200000; ++i) content.push_back(static_cast<char>(i * 7 % 256));  // NULs included
  content.append(3, '\0');
  ASSERT_TRUE(WriteWholeFile(dir / "blob.bin", content));
  string read;
  ASSERT_TRUE(ReadWholeFile(dir / "blob.bin", read));
  EXPECT_EQ(read.size(), content.size());
  EXPECT_TRUE(read == content);

  string untouched = "keep";
  EXPECT_FALSE(ReadWholeFile(dir / "absent", untouched));
  EXPECT_EQ(untouched, "keep");
}

TEST(HostFiles, SizesOfFiles) {
  hosttest::TempDir dir;
  PutFile(dir / "f", string(12345, 'x'));
  UINT64 size = 0;
  ASSERT_TRUE(FXFile::TZGetFileSize(dir / "f", size));
  EXPECT_EQ(size, 12345u);
  string error;
  EXPECT_FALSE(FXFile::TZGetFileSize(dir / "none", size, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(FXFile::DoesFileExist(dir / "f"));
  EXPECT_FALSE(FXFile::DoesFileExist(dir / "none"));
  EXPECT_FALSE(FXFile::DoesFileExist(""));
}

TEST(HostFiles, PathHelpers) {
  struct AppendCase {
    const char *base, *name, *joined;
  };
  const AppendCase appends[] = {{"a", "b", "a/b"},   {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a/", "/b", "a/b"},
                                {"", "b", "b"},      {"a", "", "a"},     {"/", "x", "/x"},   {"/", "/x", "/x"},
                                {"/m/n", "o/p", "/m/n/o/p"}};
  for (const auto& c : appends) EXPECT_EQ(FXPath::Append(c.base, c.name), c.joined) << c.base << " + " << c.name;

  struct SplitCase {
    const char *path, *name, *parent;
  };
  const SplitCase splits[] = {{"/a/b", "b", "/a"}, {"/a", "a", "/"}, {"a", "a", ""}, {"a/b/c.txt", "c.txt", "a/b"}};
  for (const auto& c : splits) {
    EXPECT_EQ(FXPath::GetFileName(c.path), c.name) << c.path;
    EXPECT_EQ(FXPath::GetParent(c.path), c.parent) << c.path;
  }
  EXPECT_TRUE(IsFileExtnMatching("disk.VMDK", ".vmdk"));
  EXPECT_FALSE(IsFileExtnMatching("disk.vmdkx", ".vmdk"));
  EXPECT_FALSE(IsFileExtnMatching("k", ".vmdk"));
  EXPECT_FALSE(IsFileExtnMatching("disk.vmdk", ""));
}

TEST(HostDirectory, ListsMatchingFilesOnly) {
  hosttest::TempDir dir;
  PutFile(dir / "a.txt", "1");
  PutFile(dir / "b.txt", "2");
  PutFile(dir / "c.log", "3");
  fs::create_directory(dir / "folder.txt");
  fs::create_symlink(dir / "a.txt", dir / "link.txt");            // link to a file: listed
  fs::create_symlink(dir / "folder.txt", dir / "dirlink.txt");    // link to a folder: skipped

  CWqDirectory listing;
  ASSERT_TRUE(listing.Open(dir.Path(), "*.txt"));
  std::set<string> names;
  string name;
  bool end = false;
  for (int guard = 0; guard < 100; ++guard) {
    ASSERT_TRUE(listing.GetEntry(name, end));
    if (end) break;
    EXPECT_TRUE(names.insert(name).second) << "listed twice: " << name;
  }
  ASSERT_TRUE(end);
  EXPECT_TRUE(name.empty());
  EXPECT_EQ(names, (std::set<string>{"a.txt", "b.txt", "link.txt"}));
  name = "x";
  EXPECT_TRUE(listing.GetEntry(name, end));
  EXPECT_TRUE(end) << "the end stays the end";
  EXPECT_TRUE(name.empty());

  ASSERT_TRUE(listing.Open(dir.Path(), ""));  // empty pattern lists everything
  names.clear();
  while (listing.GetEntry(name, end) && !end) names.insert(name);
  EXPECT_EQ(names, (std::set<string>{"a.txt", "b.txt", "c.log", "link.txt"}));
  listing.Close();
  string error;
  EXPECT_FALSE(listing.GetEntry(name, end, &error));
  EXPECT_FALSE(listing.Open(dir / "absent", "*", &error));
  EXPECT_FALSE(error.empty());
}

TEST(HostDirectory, RemoveRefusesRootAndEmptyPaths) {
  // Never recursive here: a regression must not be able to harm the machine.
  for (const char* path : {"", "/", "//", "////"}) {
    string error;
    EXPECT_FALSE(CWqDirectory::Remove(path, false, true, &error)) << "[" << path << "]";
    EXPECT_NE(error.find("refusing"), string::npos) << "[" << path << "] " << error;
  }
  EXPECT_TRUE(fs::exists("/tmp"));
}

TEST(HostDirectory, RemoveDeletesATreeWithoutFollowingLinks) {
  hosttest::TempDir dir;
  PutFile(dir / "outside/keep.txt", "precious");
  PutFile(dir / "tree/a/b/c.txt", "x");
  PutFile(dir / "tree/top.txt", "y");
  fs::create_directories(dir / "tree/empty");
  fs::create_directory_symlink(dir / "outside", dir / "tree/a/link-to-outside");
  fs::create_symlink(dir / "outside/keep.txt", dir / "tree/file-link");

  string error;
  ASSERT_TRUE(CWqDirectory::Remove(dir / "tree/", true, false, &error)) << error;
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "tree")));
  EXPECT_EQ(GetFile(dir / "outside/keep.txt"), "precious");
  EXPECT_EQ(ListNames(dir / "outside"), (std::set<string>{"keep.txt"}));

  // The path itself a link to a folder: only the link goes.
  fs::create_directory_symlink(dir / "outside", dir / "top-link");
  ASSERT_TRUE(CWqDirectory::Remove(dir / "top-link", true, false, &error)) << error;
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "top-link")));
  EXPECT_EQ(GetFile(dir / "outside/keep.txt"), "precious");
}

TEST(HostDirectory, RemoveOfMissingAndNonEmptyPaths) {
  hosttest::TempDir dir;
  string error;
  EXPECT_TRUE(CWqDirectory::Remove(dir / "absent", true, true, &error));
  EXPECT_FALSE(CWqDirectory::Remove(dir / "absent", true, false, &error));
  EXPECT_FALSE(error.empty());

  PutFile(dir / "full/file", "x");
  EXPECT_FALSE(CWqDirectory::Remove(dir / "full", false, false, &error)) << "not recursive";
  EXPECT_TRUE(fs::exists(dir / "full/file"));
  fs::create_directory(dir / "empty");
  EXPECT_TRUE(CWqDirectory::Remove(dir / "empty", false, false, &error));
  EXPECT_FALSE(fs::exists(dir / "empty"));

  EXPECT_TRUE(CWqDirectory::Create(dir / "p/q/r"));
  EXPECT_TRUE(fs::is_directory(dir / "p/q/r"));
  EXPECT_TRUE(CWqDirectory::Create(dir / "p/q/r")) << "existing folder";
  EXPECT_FALSE(CWqDirectory::Create(dir / "full/file/sub")) << "below a file";
}

TEST(HostStrings, Tokenize) {
  struct Case {
    const char* text;
    const char* separators;
    bool keepEmpty;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"a++b", "+", false, {"a", "b"}},
      {"a++b", "+", true, {"a", "", "b"}},
      {"", "+", false, {}},
      {"", "+", true, {""}},
      {"\\\\VMs\\\\x", "\\\\", false, {"VMs", "x"}},
      {"\\\\VMs\\\\x", "\\\\", true, {"", "", "VMs", "", "x"}},
      {"a,b;c", ",;", false, {"a", "b", "c"}},
      {"a,", ",", true, {"a", ""}},
      {"plain", ",", true, {"plain"}},
  };
  for (const auto& c : cases) {
    auto parts = CWqString(c.text).Tokenize(c.separators, c.keepEmpty);
    std::vector<std::string> got(parts.begin(), parts.end());
    EXPECT_EQ(got, c.tokens) << "[" << c.text << "] keepEmpty " << c.keepEmpty;
  }
}

TEST(HostStrings, WildcardMatch) {
  struct Case {
    const char *pattern, *text;
    bool ignoreCase, match;
  };
  const Case cases[] = {
      {"*", "", true, true},           {"*", "anything", true, true},    {"", "", true, true},
      {"", "a", true, false},          {"?", "", true, false},           {"?", "a", true, true},
      {"a?c", "abc", true, true},      {"a?c", "ac", true, false},       {"a*c", "ac", true, true},
      {"a*c", "abbbc", true, true},    {"a*c", "abcd", true, false},     {"*.txt", "x.txt.bak", true, false},
      {"*b*b", "abab", true, true},    {"web-*", "WEB-01", true, true},  {"web-*", "WEB-01", false, false},
      {"Web-0?", "web-01", false, false}, {"Web-0?", "Web-01", false, true}, {"**a", "ba", true, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FXString::WildcardMatch(c.pattern, c.text, c.ignoreCase), c.match)
        << c.pattern << " ~ " << c.text << " ignoreCase " << c.ignoreCase;
}

// 8-4-4-4-12 lower-case hexadecimal digits.
bool IsGuidForm(const string& guid) {
  if (guid.size() != 36) return false;
  for (size_t i = 0; i < guid.size(); ++i) {
    char c = guid[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(HostStrings, CreateGuidGivesDistinctLowerCaseGuids) {
  EXPECT_FALSE(IsGuidForm("0123456789ab-cdef-0123-4567-89abcdef0123"));
  EXPECT_FALSE(IsGuidForm("01234567-89AB-cdef-0123-456789abcdef"));
  std::set<string> seen;
  for (int i = 0; i < 2000; ++i) {
    string guid;
    ASSERT_TRUE(CreateGuid(guid));
    ASSERT_TRUE(IsGuidForm(guid)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
