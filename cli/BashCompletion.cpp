#include "cli/BashCompletion.h"

#include <cctype>
#include <iostream>
#include <sstream>
#include <vector>

namespace cli {
namespace {

// Only words made of these reach the script, so that none needs quoting inside it.
bool ScriptSafe(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("-_./:+@,").find(c) == std::string::npos)
      return false;
  return true;
}

// The values of an IsMember check as CLI11 shows them in the type name: "TEXT:{a,b,c}".
std::vector<std::string> MemberValues(const CLI::Option& option) {
  const std::string type = option.get_type_name();
  const auto open = type.find(":{");
  const auto close = type.find('}', open);
  std::vector<std::string> values;
  if (open == std::string::npos || close == std::string::npos) return values;
  std::stringstream list(type.substr(open + 2, close - open - 2));
  for (std::string value; std::getline(list, value, ',');)
    if (ScriptSafe(value)) values.push_back(value);
  return values;
}

bool Shown(const CLI::App& command) { return !command.get_group().empty(); }
bool Shown(const CLI::Option& option) { return !option.get_group().empty(); }
bool TakesValue(const CLI::Option& option) { return option.get_type_size() > 0 && option.get_expected_min() > 0; }

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// The case arms of the script, one command (given by its path of names) at a time.
struct Arms {
  std::vector<std::string> descend;  // "path|command": the word enters a nested command
  std::vector<std::string> skip;     // "path|--option": the next word is the option's value
  std::string values;                // what to offer after "path|--option"
  std::string words;                 // what to offer in a command: commands, options, argument values
};

void Walk(const CLI::App& command, const std::string& path, Arms& arms) {
  std::vector<std::string> words;
  for (const CLI::App* nested : command.get_subcommands([](const CLI::App* c) { return Shown(*c); })) {
    if (!ScriptSafe(nested->get_name())) continue;
    words.push_back(nested->get_name());
    arms.descend.push_back("\"" + path + "|" + nested->get_name() + "\"");
  }
  for (const CLI::Option* option : command.get_options([](const CLI::Option* o) { return Shown(*o); })) {
    const std::vector<std::string> values = MemberValues(*option);
    if (!option->nonpositional()) {
      words.insert(words.end(), values.begin(), values.end());
      continue;
    }
    std::vector<std::string> names;
    for (const auto& name : option->get_lnames()) names.push_back("--" + name);
    for (const auto& name : option->get_snames()) names.push_back("-" + name);
    for (const auto& name : names) {
      if (!ScriptSafe(name)) continue;
      words.push_back(name);
      if (!TakesValue(*option)) continue;
      const std::string arm = "\"" + path + "|" + name + "\"";
      arms.skip.push_back(arm);
      arms.values += "    " + arm + ") " +
                     (values.empty() ? "COMPREPLY=($(compgen -f -- \"$cur\"))"
                                     : "COMPREPLY=($(compgen -W \"" + Joined(values) + "\" -- \"$cur\"))") +
                     "; return ;;\n";
    }
  }
  arms.words += "    \"" + path + "\") words=\"" + Joined(words) + "\" ;;\n";
  for (const CLI::App* nested : command.get_subcommands([](const CLI::App* c) { return Shown(*c); }))
    if (ScriptSafe(nested->get_name()))
      Walk(*nested, path.empty() ? nested->get_name() : path + " " + nested->get_name(), arms);
}

std::string Alternatives(const std::vector<std::string>& arms) {
  std::string text;
  for (const auto& arm : arms) text += (text.empty() ? "" : "|") + arm;
  return text;
}

}  // namespace

std::string BashCompletionScript(const CLI::App& app) {
  Arms arms;
  Walk(app, "", arms);
  std::string function = "_";
  for (char c : app.get_name()) function += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  std::string script = "# bash completion for " + app.get_name() + ", made by \"" + app.get_name() +
                       " --bash-completion\"\n" + function + "() {\n" +
                       "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path= words= i\n"
                       "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                       "    case \"$path|${COMP_WORDS[i]}\" in\n";
  if (!arms.descend.empty())
    script += "      " + Alternatives(arms.descend) + ") path=\"${path:+$path }${COMP_WORDS[i]}\" ;;\n";
  if (!arms.skip.empty()) script += "      " + Alternatives(arms.skip) + ") ((i++)) ;;\n";
  script += "    esac\n  done\n  case \"$path|$prev\" in\n" + arms.values + "  esac\n  case \"$path\" in\n" +
            arms.words + "  esac\n  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n}\ncomplete -F " + function +
            " " + app.get_name() + "\n";
  return script;
}

void AddBashCompletionFlag(CLI::App& app) {
  app.add_flag_callback("--bash-completion",
                        [&app] {
                          std::cout << BashCompletionScript(app);
                          throw CLI::Success();
                        })
      ->group("")
      ->trigger_on_parse();
}

}  // namespace cli
