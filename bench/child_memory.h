// Peak memory of a piece of work, measured in a forked child so that what the benchmark itself
// holds counts only as the baseline.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace tessera_plus::bench {

// Resident size of this process now, in MB: what a forked child starts from.
inline double current_rss_mb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<double>(resident * (::sysconf(_SC_PAGESIZE) / 1024)) / 1024.0;
}

// How much a forked child that runs `work` grows past its resident size at the start, in MB: its
// peak is reset first (clear_refs), so the parent's pages count only as the baseline.
inline double child_growth_mb(const std::function<void()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return 0;
  pid_t child = ::fork();
  if (child == 0) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const double start = current_rss_mb();
    work();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    double growth = static_cast<double>(usage.ru_maxrss) / 1024.0 - start;
    (void)!::write(fds[1], &growth, sizeof growth);
    ::_exit(0);
  }
  double growth = 0;
  (void)!::read(fds[0], &growth, sizeof growth);
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
  ::close(fds[1]);
  return growth;
}

}  // namespace tessera_plus::bench
