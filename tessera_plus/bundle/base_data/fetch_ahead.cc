#include "tessera_plus/bundle/base_data/fetch_ahead.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/isolated_runner.h"
#include "tessera_plus/base/wait_probe.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

// A fetcher's reply: one byte that says what it carries, then the answer's bytes or the error's
// message.
enum class Reply : char { kBytes, kUnavailable, kDenied, kOther };

// Answers ahead of the writes, per fetcher: enough that a slow answer does not idle the others,
// few enough that the answers waiting behind it stay a small multiple of one.
constexpr std::size_t kWindowPerFetcher = 4;

// A call that waited this long for the service (its time beyond the CPU time it used here) makes
// the calls after it worth overlapping; one that answers sooner costs less than a fetcher's start
// and round trips would, so a service that answers at once is asked from this process.
constexpr std::chrono::microseconds kWaitWorthOverlapping{1000};

std::string reply(Reply kind, std::string_view body) {
  std::string out(1, static_cast<char>(kind));
  out.append(body);
  return out;
}

// Runs in the fetcher: every error becomes data, so that its kind survives the trip.
std::string fetch_in_fetcher(const std::function<std::string(std::size_t)>& fetch, std::size_t i) {
  try {
    return reply(Reply::kBytes, fetch(i));
  } catch (const tallow::ServiceUnavailable& e) {
    return reply(Reply::kUnavailable, e.what());
  } catch (const tallow::PermissionDenied& e) {
    return reply(Reply::kDenied, e.what());
  } catch (const std::exception& e) {
    return reply(Reply::kOther, e.what());
  }
}

FetchedAnswer answer_of(IsolatedOutcome&& outcome) {
  if (!outcome.completed || outcome.reply.empty()) {
    return FetchedAnswer::of_error(
        std::make_exception_ptr(FetcherLost("取数进程异常结束：" + outcome.describe())));
  }
  std::string body = outcome.reply.substr(1);
  switch (static_cast<Reply>(outcome.reply[0])) {
    case Reply::kBytes:
      return FetchedAnswer::of_bytes(std::move(body));
    case Reply::kUnavailable:
      return FetchedAnswer::of_error(std::make_exception_ptr(tallow::ServiceUnavailable(body)));
    case Reply::kDenied:
      return FetchedAnswer::of_error(std::make_exception_ptr(tallow::PermissionDenied(body)));
    case Reply::kOther:
      break;
  }
  return FetchedAnswer::of_error(std::make_exception_ptr(Error(body)));
}

FetchedAnswer fetch_one(const std::function<std::string(std::size_t)>& fetch, std::size_t i) {
  try {
    return FetchedAnswer::of_bytes(fetch(i));
  } catch (...) {
    return FetchedAnswer::of_error(std::current_exception());
  }
}

// Fetches and takes items from 0 on in this process; with `overlap`, only until a call has waited
// for the service: the index of the first item left for the fetchers (`count` when none is).
std::size_t fetch_here(std::size_t count, const std::function<std::string(std::size_t)>& fetch,
                       const std::function<void(std::size_t, FetchedAnswer&&)>& take,
                       bool overlap) {
  for (std::size_t i = 0; i < count; ++i) {
    const WaitProbe probe;
    FetchedAnswer answer = fetch_one(fetch, i);
    const bool worth_overlapping = overlap && probe.waited(kWaitWorthOverlapping);
    take(i, std::move(answer));
    if (worth_overlapping) return i + 1;
  }
  return count;
}

}  // namespace

FetchedAnswer FetchedAnswer::of_bytes(std::string bytes) {
  FetchedAnswer answer;
  answer.bytes_ = std::move(bytes);
  return answer;
}

FetchedAnswer FetchedAnswer::of_error(std::exception_ptr error) {
  FetchedAnswer answer;
  answer.error_ = std::move(error);
  return answer;
}

std::string FetchedAnswer::take() {
  if (error_) std::rethrow_exception(error_);
  return std::move(bytes_);
}

void fetch_ahead(std::size_t count, const std::function<std::string(std::size_t)>& fetch,
                 const std::function<void(std::size_t, FetchedAnswer&&)>& take) {
  const auto most = static_cast<std::size_t>(std::max(1, tallow::client::requests_in_flight()));
  const std::size_t first = fetch_here(count, fetch, take, most > 1);
  if (first == count) return;
  const std::size_t fetchers = std::min(count - first, most);
  run_isolated(
      count - first, [&](std::size_t i) { return fetch_in_fetcher(fetch, first + i); },
      [&](std::size_t i, IsolatedOutcome&& outcome) {
        take(first + i, answer_of(std::move(outcome)));
        return true;
      },
      IsolationOptions{.jobs = static_cast<int>(fetchers),
                       .cpu_seconds_per_item = 0,
                       .in_order = true,
                       .window = fetchers * kWindowPerFetcher});
  // Stopped: the answers in flight were taken, the rest never asked for.
  throw_if_stopped();
}

}  // namespace tessera_plus::bundle
