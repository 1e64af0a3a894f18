#include "python/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <regex>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::python {
namespace {

void flush_everything() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed console: the line is lost, as it would be without us
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Writes `line` to the Python stream sys.<name>; straight to `original` when that stream is the
// led descriptor itself (a plain console), which would otherwise feed the line back to us.
void write_to_stream(const char* name, int led, int original, const std::string& line) {
  py::object stream = py::module_::import("sys").attr(name);
  if (stream.is_none()) return;
  bool same = false;
  try {
    same = stream.attr("fileno")().cast<int>() == led;
  } catch (py::error_already_set&) {
    // io.StringIO and other streams without a descriptor: write through Python.
  }
  if (same) {
    stream.attr("flush")();
    write_all(original, line + "\n");
    return;
  }
  stream.attr("write")(line + "\n");
  stream.attr("flush")();
}

py::object logger() { return py::module_::import("logging").attr("getLogger")("tessera_plus"); }

bool enabled(const py::object& log, const char* level) {
  return log.attr("isEnabledFor")(py::module_::import("logging").attr(level)).cast<bool>();
}

// The progress setting as the bars read it (base/progress.h).
const char* progress_setting(const py::object& progress) {
  if (PyCallable_Check(progress.ptr())) return "events";
  return progress.cast<bool>() ? "1" : "0";
}

}  // namespace

LedDescriptor::LedDescriptor(int target) : target_(target) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_os_error(errno, "cannot create a pipe for the console");
  saved_ = ::fcntl(target, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0) {
    const int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    throw_os_error(error, "cannot keep the console's descriptor");
  }
  flush_everything();
  ::dup2(fds[1], target);
  ::close(fds[1]);
  read_ = fds[0];
  ::fcntl(read_, F_SETFL, ::fcntl(read_, F_GETFL) | O_NONBLOCK);
}

LedDescriptor::~LedDescriptor() {
  restore();
  ::close(read_);
  ::close(saved_);
}

void LedDescriptor::restore() noexcept {
  if (restored_) return;
  restored_ = true;
  flush_everything();
  ::dup2(saved_, target_);
}

std::vector<std::string> LedDescriptor::take_lines(bool end) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(read_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t eol; (eol = pending_.find('\n', at)) != std::string::npos; at = eol + 1) {
    lines.push_back(pending_.substr(at, eol - at));
  }
  pending_.erase(0, at);
  if (end && !pending_.empty()) lines.push_back(std::exchange(pending_, {}));
  return lines;
}

ConsoleRouter::ConsoleRouter(const CallOutput& output) : output_(output) {
  if (const char* setting = std::getenv("TESSERA_PROGRESS")) {
    had_progress_ = true;
    saved_progress_ = setting;
  }
  ::setenv("TESSERA_PROGRESS", progress_setting(output_.progress), 1);
}

ConsoleRouter::~ConsoleRouter() {
  if (had_progress_) {
    ::setenv("TESSERA_PROGRESS", saved_progress_.c_str(), 1);
  } else {
    ::unsetenv("TESSERA_PROGRESS");
  }
}

std::array<pollfd, 2> ConsoleRouter::poll_set() const {
  return {pollfd{out_.pipe(), POLLIN, 0}, pollfd{err_.pipe(), POLLIN, 0}};
}

void ConsoleRouter::forward(bool end) {
  for (const std::string& line : out_.take_lines(end)) standard_output(line);
  for (const std::string& line : err_.take_lines(end)) standard_error(line);
}

void ConsoleRouter::finish() {
  out_.restore();
  err_.restore();
  forward(true);
}

void ConsoleRouter::standard_output(const std::string& line) {
  py::object log = logger();
  if (enabled(log, "INFO")) {
    log.attr("info")(line);
    return;
  }
  write_to_stream("stdout", 1, out_.original(), line);
}

void ConsoleRouter::standard_error(const std::string& line) {
  if (!line.empty() && line[0] == '\x1e') {
    // A bar's step (base/progress.h): caption, done, total.
    const std::size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
    if (tab1 == std::string::npos || tab2 == tab1) return;
    output_.progress(line.substr(1, tab1 - 1), std::stoull(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                     std::stoull(line.substr(tab2 + 1)));
    return;
  }
  // The system log's lines (base/logger.h): "<date> <time> ERROR <message>".
  static const std::regex log_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ERROR (.*))");
  std::smatch match;
  if (std::regex_match(line, match, log_line)) {
    py::object log = logger();
    if (enabled(log, "ERROR")) {
      log.attr("error")(match[1].str());
      return;
    }
  }
  write_to_stream("stderr", 2, err_.original(), line);
}

}  // namespace tessera_plus::python
