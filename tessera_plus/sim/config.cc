#include "tessera_plus/sim/config.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow::sim {
namespace {

constexpr std::array<std::string_view, 11> kScopes = {
    "all", "hk", "bjse", "cs", "etf", "lof", "indx", "future", "option", "convertible", "reits"};
constexpr std::array<std::string_view, 3> kFrequencies = {"tick", "1m", "1d"};

bool contains(auto& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

[[noreturn]] void bad_value(const char* name, const std::string& value, std::string_view wanted) {
  throw ValueError(fmt::format("{}='{}' is not valid: expected {}", name, value, wanted));
}

template <typename Int>
Int parse_int(const char* name, const std::string& value, Int low, Int high) {
  Int out{};
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
  if (ec != std::errc() || end != value.data() + value.size() || out < low || out > high) {
    bad_value(name, value, fmt::format("an integer from {} to {}", low, high));
  }
  return out;
}

double parse_rate(const char* name, const std::string& value) {
  char* end = nullptr;
  double out = std::strtod(value.c_str(), &end);
  if (end != value.c_str() + value.size() || !(out >= 0.0 && out <= 1.0)) {
    bad_value(name, value, "a probability from 0 to 1");
  }
  return out;
}

int parse_date(std::string_view text, std::string_view rule, int empty) {
  if (text.empty()) return empty;
  int out = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (ec != std::errc() || end != text.data() + text.size() || text.size() != 8) {
    throw ValueError(
        fmt::format("TALLOW_SIM_DENY: bad date '{}' in rule '{}'; expected YYYYMMDD", text, rule));
  }
  return out;
}

DenyRule parse_rule(std::string_view text) {
  DenyRule rule;
  if (auto at = text.find('@'); at != std::string_view::npos) {
    std::string_view range = text.substr(at + 1);
    auto dash = range.find('-');
    if (dash == std::string_view::npos) {
      throw ValueError(fmt::format("TALLOW_SIM_DENY: rule '{}' needs @FROM-TO", text));
    }
    rule.from = parse_date(range.substr(0, dash), text, 0);
    rule.to = parse_date(range.substr(dash + 1), text, 99991231);
    text = text.substr(0, at);
  }
  auto split = text.rfind('_');
  std::string_view head = split == std::string_view::npos ? text : text.substr(0, split);
  std::string_view tail = split == std::string_view::npos ? "" : text.substr(split + 1);
  if (tail.empty() && contains(kFrequencies, head)) {
    rule.frequency = std::string(head);
  } else if (contains(kScopes, head) && (tail.empty() || contains(kFrequencies, tail))) {
    rule.scope = head == "all" ? "" : std::string(head);
    rule.frequency = std::string(tail);
  } else {
    throw ValueError(fmt::format(
        "TALLOW_SIM_DENY: unknown rule '{}'; a rule is SCOPE, FREQUENCY or SCOPE_FREQUENCY with "
        "SCOPE one of all, hk, bjse, cs, etf, lof, indx, future, option, convertible, reits and "
        "FREQUENCY one of tick, 1m, 1d",
        text));
  }
  return rule;
}

}  // namespace

std::vector<DenyRule> parse_deny_rules(const std::string& text) {
  std::vector<DenyRule> rules;
  std::string_view rest = text;
  while (!rest.empty()) {
    auto comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) rules.push_back(parse_rule(item));
  }
  return rules;
}

SimConfig SimConfig::for_scale(Scale scale) {
  SimConfig config;
  config.scale = scale;
  if (scale == Scale::kBench) {
    config.stocks = 3000;
    config.history_start = kBenchHistoryStart;
  }
  return config;
}

SimConfig SimConfig::from_environment() {
  Scale scale = Scale::kDemo;
  if (auto v = env("TALLOW_SIM_SCALE")) {
    if (*v == "bench") {
      scale = Scale::kBench;
    } else if (*v != "demo") {
      bad_value("TALLOW_SIM_SCALE", *v, "'demo' or 'bench'");
    }
  }
  SimConfig c = for_scale(scale);
  if (auto v = env("TALLOW_SIM_STOCKS")) c.stocks = parse_int("TALLOW_SIM_STOCKS", *v, 0, 9000);
  if (auto v = env("TALLOW_SIM_HISTORY_START")) {
    c.history_start = parse_int("TALLOW_SIM_HISTORY_START", *v, 20050104, 20991231);
  }
  if (auto v = env("TALLOW_SIM_HISTORY_DAYS")) {
    c.history_days = parse_int("TALLOW_SIM_HISTORY_DAYS", *v, 0, 100000);
  }
  if (auto v = env("TALLOW_SIM_SEED")) {
    c.seed = parse_int<std::uint64_t>("TALLOW_SIM_SEED", *v, 0, UINT64_MAX);
  }
  if (auto v = env("TALLOW_SIM_TICK_SECONDS")) {
    c.tick_seconds = parse_int("TALLOW_SIM_TICK_SECONDS", *v, 1, 60);
    if (60 % c.tick_seconds != 0) bad_value("TALLOW_SIM_TICK_SECONDS", *v, "a divisor of 60");
  }
  if (auto v = env("TALLOW_SIM_DENY")) c.deny = parse_deny_rules(*v);
  if (auto v = env("TALLOW_SIM_FAULT_RATE")) c.fault_rate = parse_rate("TALLOW_SIM_FAULT_RATE", *v);
  if (auto v = env("TALLOW_SIM_LATENCY_MS")) {
    c.latency_ms = parse_int("TALLOW_SIM_LATENCY_MS", *v, 0, 600000);
  }
  if (auto v = env("TALLOW_SIM_LATENCY_RATE")) {
    c.latency_rate = parse_rate("TALLOW_SIM_LATENCY_RATE", *v);
  }
  if (auto v = env("TALLOW_SIM_TRADING_DATE")) {
    if (*v != "all" && *v != "derivatives") {
      bad_value("TALLOW_SIM_TRADING_DATE", *v, "'all' or 'derivatives'");
    }
    c.equity_trading_date = *v == "all";
  }
  if (auto v = env("TALLOW_SIM_NO_DATA")) {
    if (*v != "none" && *v != "empty") bad_value("TALLOW_SIM_NO_DATA", *v, "'none' or 'empty'");
    c.empty_tables = *v == "empty";
  }
  if (auto v = env("TALLOW_SIM_HALTS")) {
    if (*v != "omit" && *v != "pad") bad_value("TALLOW_SIM_HALTS", *v, "'omit' or 'pad'");
    c.pad_halts = *v == "pad";
  }
  if (auto v = env("TALLOW_SIM_QUOTA_ROWS")) {
    c.quota_rows = parse_int<std::int64_t>("TALLOW_SIM_QUOTA_ROWS", *v, 0, INT64_MAX);
  }
  if (auto v = env("TALLOW_SIM_OUTAGES")) {
    auto comma = v->find(',');
    if (comma == std::string::npos) bad_value("TALLOW_SIM_OUTAGES", *v, "'UP,DOWN' in calls");
    c.outage_up = parse_int("TALLOW_SIM_OUTAGES", v->substr(0, comma), 1, 1000000000);
    c.outage_down = parse_int("TALLOW_SIM_OUTAGES", v->substr(comma + 1), 1, 1000000000);
  }
  if (auto v = env("TALLOW_SIM_LATENCY_PER_1000_ROWS")) {
    c.latency_per_1000_rows_ms = parse_int("TALLOW_SIM_LATENCY_PER_1000_ROWS", *v, 0, 600000);
  }
  if (auto v = env("TALLOW_SIM_CALL_LOG")) c.call_log = *v;
  if (auto v = env("TALLOW_SIM_REVISED")) {
    std::string_view rest = *v;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string day(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
      c.revised_days.push_back(parse_int("TALLOW_SIM_REVISED", day, 20050104, 20991231));
    }
  }
  return c;
}

}  // namespace tessera_plus::tallow::sim
