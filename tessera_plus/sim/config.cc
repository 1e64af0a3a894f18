#include "tessera_plus/sim/config.h"

#include <algorithm>
#include <array>
#include <charconv>
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

DenyRule parse_rule(std::string_view text) {
  DenyRule rule;
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
    config.history_days = 0;
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
  return c;
}

}  // namespace tessera_plus::tallow::sim
