// The log file as several processes share it: the forked workers of a run, and other runs of the
// program on the same machine, append to one file at once. Each line goes out in one write() on a
// descriptor opened with O_APPEND, which the kernel places whole at the end of the file, so lines
// never interleave and none is lost. Only a run's first process rotates the file, at its start.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

namespace tessera_plus {

// A spdlog sink that writes each formatted line with one write() to `fd` (standard error), or to
// a descriptor opened with O_APPEND on `path` for that line alone, so that a path changed in the
// environment, a rotation or a fork never leaves a stale descriptor behind. A line that cannot be
// written is dropped: the log must not take a run down with it.
class append_line_sink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  explicit append_line_sink(int fd) : fd_(fd) {}
  explicit append_line_sink(std::string path) : path_(std::move(path)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  int fd_ = -1;
  std::string path_;
};

// Writes `text` to `fd` whole, going on after short writes; false when it could not.
bool write_whole(int fd, std::string_view text);

// When the file at `path` has grown beyond `max_bytes`, renames it to "<path>.1" after moving
// "<path>.1" to "<path>.2" and so on, dropping "<path>.<keep>". Two runs that start together
// rotate it once: the shift happens under an exclusive lock on the file, and only while the file
// locked is still the one at `path`. Lines appended meanwhile land in whichever file they opened.
void rotate_log_file(const std::string& path, std::uintmax_t max_bytes, int keep);

}  // namespace tessera_plus
