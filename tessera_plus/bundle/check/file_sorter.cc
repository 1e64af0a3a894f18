#include "tessera_plus/bundle/check/file_sorter.h"

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/isolated_runner.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/progress.h"
#include "tessera_plus/base/run_report.h"

namespace tessera_plus::bundle::check_detail {
namespace {

// A worker's reply: optionally 'N', the note and a newline; then one letter for the outcome and its
// details.
//   S sound, B broken (and the reason), L locked, O broken by an operating-system error,
//   G gaps (one day per line: 'i' and the number, or 's' and the text),
//   K / V / E / X a KeyError / ValueError / other Error / other exception to raise in the caller.
std::string encode_outcome(const Finding& finding) {
  if (finding.kind == Finding::kSound) return "S";
  if (finding.kind == Finding::kBroken) return "B" + finding.reason;
  std::string reply = "G";
  for (const tallow::DateArg& day : finding.missing) {
    if (const auto* number = std::get_if<std::int64_t>(&day)) {
      reply += fmt::format("i{}\n", *number);
    } else if (const auto* text = std::get_if<std::string>(&day)) {
      reply += "s" + *text + "\n";
    } else {
      throw ValueError("a missing day must be a number or a text: " + tallow::describe(day));
    }
  }
  return reply;
}

std::string encode(const Finding& finding) {
  if (finding.note.empty()) return encode_outcome(finding);
  return "N" + finding.note + "\n" + encode_outcome(finding);
}

// Takes the note off the front of a reply, if it has one.
std::string take_note(std::string& reply) {
  if (reply.empty() || reply.front() != 'N') return {};
  const std::size_t end = reply.find('\n');
  if (end == std::string::npos) return {};
  std::string note = reply.substr(1, end - 1);
  reply.erase(0, end + 1);
  return note;
}

std::vector<tallow::DateArg> decode_days(std::string_view text) {
  std::vector<tallow::DateArg> days;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.front() == 'i') {
      days.emplace_back(static_cast<std::int64_t>(std::stoll(std::string(line.substr(1)))));
    } else {
      days.emplace_back(std::string(line.substr(1)));
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return days;
}

// A day as the reports show it: the 8-digit date, whichever form the service was asked with.
std::string day_text(const tallow::DateArg& day) {
  if (const auto* text = std::get_if<std::string>(&day)) return *text;
  return tallow::describe(day);
}

std::string inspect_in_worker(const std::string& path,
                              const std::function<Finding(const std::string&)>& inspect) {
  try {
    return encode(inspect(path));
  } catch (const BlockingIOError& e) {
    return std::string("L") + e.what();
  } catch (const PermissionError& e) {
    return std::string("L") + e.what();
  } catch (const OSError& e) {
    return std::string("O") + e.what();
  } catch (const KeyError& e) {
    return std::string("K") + e.what();
  } catch (const ValueError& e) {
    return std::string("V") + e.what();
  } catch (const Error& e) {
    return std::string("E") + e.what();
  } catch (const std::exception& e) {
    return std::string("X") + e.what();
  }
}

[[noreturn]] void raise_in_caller(char kind, const std::string& message) {
  switch (kind) {
    case 'K':
      throw KeyError(message);
    case 'V':
      throw ValueError(message);
    case 'E':
      throw Error(message);
    default:
      throw std::runtime_error(message);
  }
}

}  // namespace

void sort_files(const std::vector<std::string>& paths, int jobs,
                const std::function<Finding(const std::string&)>& inspect,
                const std::function<std::optional<tallow::DateArg>(
                    const std::string&, const std::vector<tallow::DateArg>&)>& day_with_data,
                CheckFindings& findings,
                const std::function<void(const std::string&, const std::string&)>& keep_note) {
  findings.files += paths.size();
  ProgressBar bar(paths.size(), "检查的文件");
  auto work = [&](std::size_t i) { return inspect_in_worker(paths[i], inspect); };
  auto file = [&](std::size_t i, IsolatedOutcome&& outcome) {
    const std::string& path = paths[i];
    if (outcome.completed) {
      if (std::string note = take_note(outcome.reply); !note.empty() && keep_note) {
        keep_note(path, note);
      }
    }
    if (!outcome.completed || outcome.reply.empty()) {
      // The library died on this file (or could not even reply): that is damage, and the one
      // place where the reason is shown is the log.
      system_log::error(
          fmt::format("检查 {} 时工作进程异常结束（{}），视为异常数据", path, outcome.describe()));
      findings.add_broken(path, "crashed the reader (" + outcome.describe() + ")");
    } else {
      const char kind = outcome.reply.front();
      const std::string detail = outcome.reply.substr(1);
      try {
        if (kind == 'B' || kind == 'O') {
          findings.add_broken(path, one_line(detail, 400));
        } else if (kind == 'L') {
          findings.add_locked(path, one_line(detail, 400));
        } else if (kind == 'G') {
          if (auto day = day_with_data(path, decode_days(detail))) {
            findings.add_broken(
                path, "missing trading day " + day_text(*day) + " with data at the service");
          }
        } else if (kind != 'S') {
          raise_in_caller(kind, detail);
        }
      } catch (const BlockingIOError& e) {
        findings.add_locked(path, one_line(e.what(), 400));
      } catch (const PermissionError& e) {
        findings.add_locked(path, one_line(e.what(), 400));
      } catch (const OSError& e) {
        findings.add_broken(path, one_line(e.what(), 400));
      }
    }
    bar.advance();
    return true;
  };
  run_isolated(paths.size(), work, file,
               {.jobs = jobs,
                .while_waiting = [&bar] { bar.heartbeat(); },
                .wait_interval = ProgressBar::heartbeat_interval()});
  // Findings of a check cut short are no grounds to delete anything.
  throw_if_stopped();
}

}  // namespace tessera_plus::bundle::check_detail
