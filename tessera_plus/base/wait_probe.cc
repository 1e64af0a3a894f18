#include "tessera_plus/base/wait_probe.h"

#include <sys/resource.h>

namespace tessera_plus {
namespace {

struct ThreadUsage {
  std::chrono::microseconds cpu;
  long blocked;
};

ThreadUsage thread_usage() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  const auto micros = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return {micros(usage.ru_utime) + micros(usage.ru_stime), usage.ru_nvcsw};
}

}  // namespace

WaitProbe::WaitProbe() : wall_(std::chrono::steady_clock::now()) {
  const ThreadUsage usage = thread_usage();
  cpu_ = usage.cpu;
  blocked_ = usage.blocked;
}

bool WaitProbe::waited(std::chrono::microseconds at_least) const {
  const ThreadUsage after = thread_usage();
  return after.blocked > blocked_ &&
         (std::chrono::steady_clock::now() - wall_) - (after.cpu - cpu_) >= at_least;
}

}  // namespace tessera_plus
