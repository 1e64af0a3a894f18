#include "tessera_plus/bundle/update/sample_download.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/update/sample_install.h"
#include "tessera_plus/net/downloader.h"
#include "tessera_plus/net/http.h"

namespace tessera_plus::bundle {
namespace {

constexpr std::string_view kSampleName = "twbundle_sample.tar.bz2";

void say(std::string_view line) { console_write(stdout, fmt::format("{}\n", line)); }

std::string sample_address() {
  return sample_server_base() + "/bundles_v4/" + std::string(kSampleName);
}

// The downloaded archive. It gets a fresh name created exclusively with mode 0600, so that no other
// user can plant a link under it and two runs never share it, and it is deleted on every way out.
class TempArchive {
 public:
  TempArchive() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/tessera_plus.bundle.XXXXXX";
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw_os_error(errno, "creating a temporary file in " + name);
    path_ = name;
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
      int error_number = errno;
      ::close(fd);
      ::unlink(path_.c_str());
      throw_os_error(error_number, path_);
    }
  }
  ~TempArchive() {
    if (file_ != nullptr) std::fclose(file_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;

  const std::string& path() const { return path_; }
  std::FILE* file() const { return file_; }

  void close() {
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) throw_os_error(errno, "writing " + path_);
  }
  void remove() {
    if (::unlink(path_.c_str()) != 0) throw_os_error(errno, "deleting " + path_);
    path_.clear();
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

std::uint64_t content_length(const net::ResponseHead& head) {
  auto field = head.headers.find("content-length");
  if (field == head.headers.end()) throw KeyError("content-length");
  const std::string& text = field->second;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw ValueError(fmt::format("content-length is not a byte count: \"{}\"", text));
  }
  return value;
}

// False (after telling the user why) when the local file cannot be the sample archive.
bool usable_local_archive(const std::string& file_path) {
  std::error_code error;
  if (!std::filesystem::exists(file_path, error)) {
    say(fmt::format("{}文件不存在", file_path));
    return false;
  }
  if (std::string_view(file_path).substr(file_path.rfind('/') + 1) != kSampleName) {
    say(fmt::format("{}文件名不为 twbundle_sample.tar.bz2", file_path));
    say("请使用下列连接下载：");
    say(sample_address());
    return false;
  }
  return true;
}

void download_and_unpack(const std::string& bundle_dir, const SampleLimits& limits) {
  const std::string url = sample_address();
  const char* proxy_setting = std::getenv("TESSERA_PROXY");
  const std::string proxy = proxy_setting ? proxy_setting : "";
  std::uint64_t total_length = content_length(net::fetch_head(url, proxy));
  TempArchive archive;
  net::download(archive.file(), total_length, url, proxy);
  archive.close();
  throw_if_stopped();
  console_say("bundle 数据下载完毕，解压中...");
  install_sample_archive(archive.path(), bundle_dir, limits);
  archive.remove();
}

}  // namespace

void download_simple_bundle(const std::string& data_bundle_path, bool /*sample*/,
                            const std::optional<std::string>& file_path,
                            const SampleLimits& limits) {
  const std::string bundle_dir = bundle::bundle_dir(data_bundle_path).string();
  std::error_code error;
  std::filesystem::create_directories(bundle_dir, error);
  if (error) throw_os_error(error.value(), "creating " + bundle_dir);
  if (file_path && !file_path->empty()) {
    if (!usable_local_archive(*file_path)) return;
    throw_if_stopped();
    console_say("解压中...");
    install_sample_archive(*file_path, bundle_dir, limits);
  } else {
    download_and_unpack(bundle_dir, limits);
  }
  console_say("bundle 数据解压完成");
}

}  // namespace tessera_plus::bundle
