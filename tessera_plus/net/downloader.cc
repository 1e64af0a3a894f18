#include "tessera_plus/net/downloader.h"

#include <cerrno>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/progress.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/net/http.h"

namespace tessera_plus::net {
namespace {

std::string last_segment(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  return path.substr(path.rfind('/') + 1);
}

[[noreturn]] void ended_early(const std::string& url, std::uint64_t written,
                              std::uint64_t total_length, const char* reason) {
  throw OSError(0, fmt::format("download of {} ended after {} of {} bytes{}{}", url, written,
                               total_length, *reason ? ": " : "", reason));
}

}  // namespace

void download(std::FILE* out, std::uint64_t total_length, const std::string& url,
              const std::string& proxy) {
  ProgressBar bar(total_length, last_segment(url));
  std::uint64_t written = 0;
  bool too_long = false;
  int write_errno = 0;
  // Invariant: never more than `total_length` bytes reach `out`, so a body that grew since its
  // length was announced cannot leave a longer file behind.
  auto sink = [&](std::string_view piece) {
    if (stop_requested()) return false;
    if (piece.size() > total_length - written) {
      too_long = true;
      return false;
    }
    if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) {
      write_errno = errno != 0 ? errno : EIO;
      return false;
    }
    written += piece.size();
    bar.advance(piece.size());
    return true;
  };
  bool complete = false;
  try {
    complete = net::fetch_body(url, proxy, sink);
  } catch (const OSError& e) {
    throw_if_stopped();
    if (written > 0 && written < total_length) ended_early(url, written, total_length, e.what());
    throw;
  }
  // A stopped download is no damaged one: the caller deletes what it holds of it.
  throw_if_stopped();
  if (write_errno != 0) throw_os_error(write_errno, "writing the download of " + url);
  if (too_long) {
    throw OSError(
        0, fmt::format("download of {} is longer than the announced {} bytes", url, total_length));
  }
  if (complete && written != total_length) ended_early(url, written, total_length, "");
  if (std::fflush(out) != 0) throw_os_error(errno, "writing the download of " + url);
}

}  // namespace tessera_plus::net
