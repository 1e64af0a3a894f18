#include "tessera_plus/base/console.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>

#include <fmt/format.h>

#include "tessera_plus/base/logger.h"

namespace tessera_plus {
namespace {

std::string stream_name(int fd) {
  if (fd == STDOUT_FILENO) return "标准输出";
  if (fd == STDERR_FILENO) return "标准错误";
  return fmt::format("控制台（描述符 {}）", fd);
}

// Points `fd` at /dev/null; false when even that fails.
bool silence(int fd) noexcept {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return false;
  const bool ok = null == fd || ::dup2(null, fd) == fd;
  if (null != fd) ::close(null);
  return ok;
}

// The stream's error indicator stays set, which is what makes it gone; only the first failure
// gets here, as every later write is skipped.
void mark_gone(std::FILE* stream, int error_number) noexcept {
  const int fd = ::fileno(stream);
  if (fd == STDOUT_FILENO || fd == STDERR_FILENO) silence(fd);
  try {
    system_log::error(fmt::format("{}无法写入（{}），本次运行的其余控制台输出略去", stream_name(fd),
                                  std::strerror(error_number)));
  } catch (...) {
    // The run goes on without the line, as it goes on without the console.
  }
}

class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(std::FILE* stream) : stream_(stream) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    console_put(stream_, std::string_view(&ch, 1));
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    console_put(stream_, std::string_view(text, static_cast<std::size_t>(size)));
    return size;
  }
  int sync() override {
    console_flush(stream_);
    return 0;
  }

 private:
  std::FILE* stream_;
};

}  // namespace

bool console_gone(std::FILE* stream) noexcept { return std::ferror(stream) != 0; }

void console_put(std::FILE* stream, std::string_view text) noexcept {
  if (console_gone(stream) || text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || console_gone(stream)) {
    mark_gone(stream, errno != 0 ? errno : EIO);
  }
}

void console_flush(std::FILE* stream) noexcept {
  if (console_gone(stream)) return;
  errno = 0;
  if (std::fflush(stream) != 0 || console_gone(stream)) mark_gone(stream, errno != 0 ? errno : EIO);
}

void console_write(std::FILE* stream, std::string_view text) noexcept {
  console_put(stream, text);
  console_flush(stream);
}

bool console_quiet() noexcept {
  const char* quiet = std::getenv("TESSERA_QUIET");
  return quiet != nullptr && std::string_view(quiet) == "1";
}

void console_say(std::string_view line) noexcept {
  if (console_quiet()) return;
  console_put(stdout, line);
  console_write(stdout, "\n");
}

void guard_console() {
  ::signal(SIGPIPE, SIG_IGN);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (silence(fd) && fd != STDIN_FILENO) {
      system_log::error(fmt::format("{}在启动时已关闭，本次运行的控制台输出略去", stream_name(fd)));
    }
  }
  // Both streams go through stdio already (synchronised with it), so their order against
  // writes made with stdio is kept.
  // Never destroyed: the library flushes std::cout and std::cerr at exit, after the destruction
  // of every static made later than its own, as a function's statics are.
  static ConsoleBuffer* const out = new ConsoleBuffer(stdout);
  static ConsoleBuffer* const err = new ConsoleBuffer(stderr);
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
}

}  // namespace tessera_plus
