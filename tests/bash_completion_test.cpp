// The bash completion that each tool prints (--bash-completion), sourced into bash and asked, as bash
// asks it, what completes a command line typed so far.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "TestSandbox.h"
#include "host/TzProcess.h"

namespace {

// What the completion offers for `words` (the last one is the word being typed).
std::set<std::string> Offered(const std::string& tool, const std::vector<std::string>& words) {
  std::string array = "'" + tool + "'";
  for (const auto& word : words) array += " '" + word + "'";
  std::string function = "_" + tool;
  for (char& c : function) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  const std::string script = ::testing::TempDir() + "/complete-" + tool + ".sh";
  WriteTestFile(script, "source <('" + std::string(OCI_BUILD_DIR) + "/" + tool + "' --bash-completion) || exit 9\n" +
                            "COMP_WORDS=(" + array + "); COMP_CWORD=" + std::to_string(words.size()) + "\n" + function +
                            "\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n");
  std::string out;
  EXPECT_EQ(TzProcess::system(("bash " + script).c_str(), &out, nullptr, 60, true), 0) << out;
  std::set<std::string> offered;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) offered.insert(line);
  return offered;
}

TEST(BashCompletion, OffersCommandsOptionsAndValuesWhereTheyBelong) {
  struct Case {
    std::string tool;
    std::vector<std::string> words;
    std::vector<std::string> offered, notOffered;
  };
  const std::vector<Case> cases = {
      {"backup-agent", {"li"}, {"list"}, {"connect", "--sandbox"}},
      {"backup-agent", {"--"}, {"--sandbox", "--version", "--help-all"}, {"--bash-completion", "--json"}},
      // A top-level option's value is skipped on the way to the command.
      {"backup-agent", {"--sandbox", "/tmp/sb", "con"}, {"connect"}, {"list"}},
      // The values of an argument checked against a set, beside the command's options.
      {"backup-agent", {"list", ""}, {"regions", "security-lists", "--compartment", "--json"}, {"connect", "--user"}},
      {"backup-agent", {"list", "--compartment", "ocid1", "--"}, {"--json", "--compartment"}, {"--sandbox"}},
      // Nested commands, and hidden commands left out.
      {"cloud-sim", {""}, {"init", "fault", "volume", "serve"}, {"tool-call", "device-bind", "add"}},
      {"cloud-sim", {"fault", ""}, {"add", "ls", "clear"}, {"init", "--op"}},
      {"cloud-sim", {"fault", "add", "--op", "GetVMInfo", "--"}, {"--action", "--nth", "--every"}, {"--file-links"}},
      {"cloud-sim", {"init", "--f"}, {"--file-links"}, {"--json"}},
      // A flag takes no value: the next word is an option again.
      {"cloud-sim", {"calls", "--json", "--"}, {"--reset"}, {}},
  };
  for (const auto& c : cases) {
    const std::set<std::string> offered = Offered(c.tool, c.words);
    std::string typed = c.tool;
    for (const auto& word : c.words) typed += " " + word;
    for (const auto& word : c.offered) EXPECT_TRUE(offered.count(word)) << typed << ": no " << word;
    for (const auto& word : c.notOffered) EXPECT_FALSE(offered.count(word)) << typed << ": offers " << word;
  }
}

}  // namespace
