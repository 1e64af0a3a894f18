#include "tessera_plus/sim/rules.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
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
                      std::string_view frequency, int first, int last) {
  for (const DenyRule& rule : rules) {
    if (covers_scope(rule.scope, ins) && (rule.frequency.empty() || rule.frequency == frequency) &&
        first <= rule.to && last >= rule.from) {
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
      latency_ms_(config.latency_ms),
      latency_per_1000_rows_ms_(config.latency_per_1000_rows_ms),
      quota_rows_(config.quota_rows),
      outage_up_(config.outage_up),
      outage_down_(config.outage_down) {}

// An alternating renewal process over the calls: runs of working calls and of failing ones, of
// geometric lengths with the configured means.
bool FaultInjector::in_outage() {
  if (outage_up_ <= 0) return false;
  if (outage_left_ <= 0) {
    if (calls_ > 1) down_ = !down_;
    const double mean = down_ ? outage_down_ : outage_up_;
    const double u = std::max(1e-12, unit(mix64(seed_ ^ 0x0a7a9e, calls_)));
    outage_left_ = 1 + std::int64_t(-std::log(u) * (mean - 1.0));
  }
  --outage_left_;
  return down_;
}

void FaultInjector::on_answer(std::size_t rows) {
  if (latency_per_1000_rows_ms_ > 0 && rows > 0) {
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::int64_t(rows) * latency_per_1000_rows_ms_));
  }
  rows_ += std::int64_t(rows);
  if (quota_rows_ > 0 && rows_ > quota_rows_) throw Error("simulated quota exceeded");
}

void FaultInjector::on_data_call(std::string_view operation, std::string_view order_book_id) {
  if (fault_rate_ <= 0 && latency_ms_ <= 0 && outage_up_ <= 0) return;
  std::uint64_t draw =
      mix64(seed_ ^ 0xfa17, ++calls_, hash_text(operation) ^ hash_text(order_book_id));
  if (in_outage()) throw ServiceUnavailable("simulated transient service failure");
  if (latency_ms_ > 0 && unit(mix64(draw, 1)) < latency_rate_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(latency_ms_));
  }
  if (unit(draw) < fault_rate_) throw ServiceUnavailable("simulated transient service failure");
}

}  // namespace tessera_plus::tallow::sim
