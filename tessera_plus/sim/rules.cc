#include "tessera_plus/sim/rules.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {
namespace {

bool covers_scope(const std::string& scope, const SimInstrument& ins) {
  if (scope.empty()) return true;
  if (scope == "hk") return ins.hk;
  if (scope == "bjse") return ins.bjse;
  std::string type = ins.record.type;
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return scope == type;
}

}  // namespace

void check_permission(const std::vector<DenyRule>& rules, const SimInstrument& ins,
                      std::string_view frequency) {
  for (const DenyRule& rule : rules) {
    if (covers_scope(rule.scope, ins) && (rule.frequency.empty() || rule.frequency == frequency)) {
      throw PermissionDenied(
          fmt::format("the account may not use {} data of {} (simulated permission rule '{}{}{}')",
                      frequency, ins.record.order_book_id, rule.scope.empty() ? "all" : rule.scope,
                      rule.frequency.empty() ? "" : "_", rule.frequency));
    }
  }
}

FaultInjector::FaultInjector(const SimConfig& config)
    : seed_(config.seed),
      fault_rate_(config.fault_rate),
      latency_rate_(config.latency_rate),
      latency_ms_(config.latency_ms) {}

void FaultInjector::on_data_call(std::string_view operation, std::string_view order_book_id) {
  if (fault_rate_ <= 0 && latency_ms_ <= 0) return;
  std::uint64_t draw =
      mix64(seed_ ^ 0xfa17, ++calls_, hash_text(operation) ^ hash_text(order_book_id));
  if (latency_ms_ > 0 && unit(mix64(draw, 1)) < latency_rate_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(latency_ms_));
  }
  if (unit(draw) < fault_rate_) throw Error("simulated transient service failure");
}

}  // namespace tessera_plus::tallow::sim
