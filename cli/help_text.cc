#include "cli/help_text.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace tessera_plus::cli {
namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Every subcommand name and long option of `app` and of its subcommands.
void collect_names(const CLI::App& app, std::set<std::string>& commands,
                   std::set<std::string>& options) {
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) options.insert("--" + name);
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands.insert(sub->get_name());
    collect_names(*sub, commands, options);
  }
}

// The nearest name within two edits (one for short words), or empty.
std::string nearest(std::string_view word, const std::set<std::string>& names) {
  const std::size_t allowed = word.size() <= 4 ? 1 : 2;
  std::string best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& name : names) {
    const std::size_t d = edit_distance(word, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

struct Variable {
  const char* name;
  const char* meaning;
};

constexpr Variable kVariables[] = {
    {"TESSERA_BUNDLE_ROOT", "the bundle root when -d is not given (default ~/.tessera)"},
    {"TESSERA_NOW", "fixes \"now\", Beijing time: YYYY-MM-DD HH:MM:SS (default: the clock)"},
    {"TESSERA_LOG_FILE",
     "the log (default $XDG_STATE_HOME/tessera_plus/tessera_plus.log, else "
     "~/.local/state/tessera_plus/tessera_plus.log)"},
    {"TESSERA_LOG_LEVEL", "debug, info, warn or error (default info)"},
    {"TESSERA_LOG_MAX_BYTES", "the size beyond which a run rotates the log (default 10485760)"},
    {"TESSERA_LOG_ECHO", "0 keeps error, warning and debug lines off standard error"},
    {"TESSERA_PROGRESS", "0 silences the progress bars (as --quiet does)"},
    {"TESSERA_CHECK_CACHE", "0 decodes every tick file, even those found sound before"},
    {"TESSERA_SAMPLE_SERVER", "base address of the sample-bundle server"},
    {"TESSERA_PROXY", "proxy for the sample download"},
    {"TALLOW_SOURCE", "the market-data source: sim (default) or python"},
    {"TALLOW_RETRY_ATTEMPTS, TALLOW_RETRY_MAX_WAIT_S, TALLOW_RATE_LIMIT, TALLOW_REQUESTS",
     "the service options' values when the options are not given"},
};

}  // namespace

std::vector<std::string> environment_lines(const std::vector<std::string>& names) {
  std::vector<std::string> lines;
  for (const std::string& name : names) {
    for (const Variable& v : kVariables) {
      if (name == v.name) lines.push_back(std::string(v.name) + ": " + v.meaning);
    }
  }
  return lines;
}

std::string render_footer(const HelpFooter& footer) {
  std::string text = "Exit status: " + footer.statuses;
  if (!footer.examples.empty()) {
    text += "\n\nExamples:";
    for (const std::string& example : footer.examples) text += "\n  " + example;
  }
  if (!footer.environment.empty()) {
    text += "\n\nEnvironment:";
    for (const std::string& variable : footer.environment) text += "\n  " + variable;
  }
  return text;
}

std::string did_you_mean(const CLI::App& app, int argc, const char* const* argv) {
  std::set<std::string> commands, options;
  collect_names(app, commands, options);
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.starts_with("--")) {
      word = word.substr(0, word.find('='));
      if (options.count(word) != 0) continue;
      if (std::string near = nearest(word, options); !near.empty()) {
        return "; did you mean '" + near + "'?";
      }
    } else if (!word.starts_with("-") && word.size() >= 3 && commands.count(word) == 0) {
      if (std::string near = nearest(word, commands); !near.empty()) {
        return "; did you mean '" + near + "'?";
      }
    }
  }
  return "";
}

}  // namespace tessera_plus::cli
