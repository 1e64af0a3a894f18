#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/update/sample_download.h"
#include "tessera_plus/net/downloader.h"
#include "tests/support/env.h"
#include "tests/support/loopback_http.h"
#include "tests/support/tar_writer.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using bundle::download_simple_bundle;
using testing::HttpReply;
using testing::HttpRequest;
using testing::LoopbackHttpServer;
using testing::ScopedEnv;
using testing::TarWriter;
using testing::TempDir;

constexpr const char* kSamplePath = "/bundles_v4/twbundle_sample.tar.bz2";

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  return names;
}

TarWriter sample_tar() {
  TarWriter tar;
  tar.add_directory("h5/");
  tar.add_directory("h5/CS/");
  tar.add_file("h5/CS/000001.XSHE.h5", "minute bars", 0640);
  tar.add_directory("ticks/", 0750);
  tar.add_file("trading_dates.npy", "dates");
  return tar;
}

class SampleDownloadTest : public ::testing::Test {
 protected:
  SampleDownloadTest() {
    fs::create_directories(tmp_);
    sample_tar().write_bz2(archive_path_);
    archive_ = testing::read_file(archive_path_);
  }

  void serve_archive(LoopbackHttpServer& server) {
    sample_server_.emplace("TESSERA_SAMPLE_SERVER", server.base_url());
  }

  std::string run(const std::optional<std::string>& file_path = std::nullopt, bool sample = false) {
    ::testing::internal::CaptureStdout();
    try {
      download_simple_bundle(root_, sample, file_path);
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
    return ::testing::internal::GetCapturedStdout();
  }

  void expect_sample_unpacked() {
    fs::path bundle = fs::path(root_) / "bundle";
    EXPECT_EQ(testing::read_file(bundle / "h5/CS/000001.XSHE.h5"), "minute bars");
    EXPECT_EQ(testing::read_file(bundle / "trading_dates.npy"), "dates");
    struct stat info {};
    ASSERT_EQ(::stat((bundle / "h5/CS/000001.XSHE.h5").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_mtime, TarWriter::kMtime);
    ASSERT_EQ(::stat((bundle / "ticks").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    EXPECT_FALSE(fs::exists(fs::path(root_) / "h5"));  // members go under bundle/, not the root
  }

  bool bundle_is_empty() const { return fs::is_empty(fs::path(root_) / "bundle"); }

  HttpReply archive_reply() const { return HttpReply{.body = archive_}; }

  TempDir dir_;
  std::string root_ = dir_ / "root";
  fs::path tmp_ = dir_ / "tmp";
  std::string archive_path_ = dir_ / "twbundle_sample.tar.bz2";
  std::string archive_;
  ScopedEnv tmpdir_{"TMPDIR", tmp_.string()};
  ScopedEnv proxy_{"TESSERA_PROXY", std::nullopt};
  std::optional<ScopedEnv> sample_server_;
};

TEST_F(SampleDownloadTest, DownloadsIntoPrivateTemporaryFileAndRemovesIt) {
  std::mutex mutex;
  std::vector<std::pair<std::string, mode_t>> seen;  // temporary files while the body is served
  LoopbackHttpServer server([&](const HttpRequest& request) {
    std::lock_guard lock(mutex);
    for (const auto& entry : fs::directory_iterator(tmp_)) {
      struct stat info {};
      ::lstat(entry.path().c_str(), &info);
      seen.emplace_back(entry.path().filename(), info.st_mode);
    }
    return request.target == kSamplePath ? archive_reply() : HttpReply{.status = 404};
  });
  serve_archive(server);

  EXPECT_EQ(run(), "bundle 数据下载完毕，解压中...\nbundle 数据解压完成\n");

  expect_sample_unpacked();
  ASSERT_EQ(server.requests().size(), 2u);  // the head, then the downloader's own request
  for (const HttpRequest& request : server.requests()) EXPECT_EQ(request.target, kSamplePath);
  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 1u);  // created only after the head arrived, present for the body
  EXPECT_EQ(seen[0].first.rfind("tessera_plus.bundle.", 0), 0u) << seen[0].first;
  EXPECT_TRUE(S_ISREG(seen[0].second));
  EXPECT_EQ(seen[0].second & 0777, 0600u);
  EXPECT_TRUE(fs::is_empty(tmp_));
}

TEST_F(SampleDownloadTest, EmptyFilePathDownloadsAndSampleChangesNothing) {
  LoopbackHttpServer server([&](const HttpRequest&) { return archive_reply(); });
  serve_archive(server);
  EXPECT_EQ(run(std::string(), true), "bundle 数据下载完毕，解压中...\nbundle 数据解压完成\n");
  expect_sample_unpacked();
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(SampleDownloadTest, LinkPlantedAtTheTemporaryNameIsNotFollowed) {
  fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, tmp_ / "tessera_plus.bundle");
  LoopbackHttpServer server([&](const HttpRequest&) { return archive_reply(); });
  serve_archive(server);

  run();

  expect_sample_unpacked();
  EXPECT_EQ(testing::read_file(victim), "precious");
  EXPECT_EQ(entries(tmp_), std::vector<std::string>{"tessera_plus.bundle"});
}

TEST_F(SampleDownloadTest, MissingContentLengthStopsBeforeDownloading) {
  LoopbackHttpServer server([&](const HttpRequest&) {
    return HttpReply{.body = archive_, .send_content_length = false};
  });
  serve_archive(server);
  EXPECT_THROW(run(), KeyError);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(bundle_is_empty());
  EXPECT_TRUE(fs::is_empty(tmp_));
}

TEST_F(SampleDownloadTest, NonNumericContentLengthIsAnError) {
  for (const char* length : {"abc", "12abc", "-5"}) {
    LoopbackHttpServer server(
        [&](const HttpRequest&) { return HttpReply{.body = archive_, .content_length = length}; });
    serve_archive(server);
    EXPECT_THROW(run(), Error) << length;
    EXPECT_EQ(server.requests().size(), 1u) << length;
  }
  EXPECT_TRUE(bundle_is_empty());
  EXPECT_TRUE(fs::is_empty(tmp_));
}

TEST_F(SampleDownloadTest, TruncatedDownloadIsNeitherUnpackedNorKept) {
  LoopbackHttpServer server([&](const HttpRequest&) {
    return HttpReply{.body = archive_, .body_bytes_sent = archive_.size() / 2};
  });
  serve_archive(server);
  try {
    run();
    FAIL() << "a truncated download succeeded";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find(fmt::format("of {} bytes", archive_.size())),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_TRUE(bundle_is_empty());
  EXPECT_TRUE(fs::is_empty(tmp_));
}

TEST_F(SampleDownloadTest, ErrorStatusIsAnError) {
  LoopbackHttpServer server(
      [&](const HttpRequest&) { return HttpReply{.status = 404, .body = "no such bundle"}; });
  serve_archive(server);
  try {
    run();
    FAIL() << "an error status was taken for the archive";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find("404"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(bundle_is_empty());
  EXPECT_TRUE(fs::is_empty(tmp_));
}

TEST_F(SampleDownloadTest, TesseraProxyCarriesTheRequests) {
  // The sample host cannot be resolved: only the proxy can answer for it.
  LoopbackHttpServer proxy([&](const HttpRequest&) { return archive_reply(); });
  ScopedEnv server("TESSERA_SAMPLE_SERVER", "http://sample.invalid");
  ScopedEnv setting("TESSERA_PROXY", proxy.base_url());
  ScopedEnv exempt("no_proxy", "*");  // must not override the setting

  run();

  expect_sample_unpacked();
  ASSERT_EQ(proxy.requests().size(), 2u);
  for (const HttpRequest& request : proxy.requests()) {
    EXPECT_EQ(request.target, std::string("http://sample.invalid") + kSamplePath);
  }
}

TEST_F(SampleDownloadTest, WithoutTesseraProxyNoProxyIsUsed) {
  LoopbackHttpServer proxy([&](const HttpRequest&) { return HttpReply{.status = 502}; });
  LoopbackHttpServer server([&](const HttpRequest&) { return archive_reply(); });
  serve_archive(server);
  std::vector<ScopedEnv> proxy_variables;
  proxy_variables.reserve(4);
  for (const char* name : {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY"}) {
    proxy_variables.emplace_back(name, proxy.base_url());
  }

  run();

  expect_sample_unpacked();
  EXPECT_TRUE(proxy.requests().empty());
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(SampleDownloadTest, LocalArchiveIsUnpackedAndKept) {
  EXPECT_EQ(run(archive_path_), "解压中...\nbundle 数据解压完成\n");
  expect_sample_unpacked();
  EXPECT_EQ(testing::read_file(archive_path_), archive_);
}

TEST_F(SampleDownloadTest, MissingLocalFileIsReported) {
  std::string missing = dir_ / "nowhere/twbundle_sample.tar.bz2";
  EXPECT_EQ(run(missing), missing + "文件不存在\n");
  EXPECT_TRUE(bundle_is_empty());
}

TEST_F(SampleDownloadTest, WrongLocalNameIsReportedWithTheDownloadAddress) {
  std::string renamed = dir_ / "sample.tar.bz2";
  fs::copy_file(archive_path_, renamed);
  ScopedEnv server("TESSERA_SAMPLE_SERVER", "http://bundles.example/");
  EXPECT_EQ(run(renamed), renamed +
                              "文件名不为 twbundle_sample.tar.bz2\n请使用下列连接下载：\n"
                              "http://bundles.example/bundles_v4/twbundle_sample.tar.bz2\n");
  EXPECT_EQ(entries(root_), std::vector<std::string>{"bundle"});
  EXPECT_TRUE(bundle_is_empty());
  EXPECT_TRUE(fs::exists(renamed));
}

TEST_F(SampleDownloadTest, HostileLocalArchiveStopsWithTheMemberNamed) {
  TarWriter tar;
  tar.add_file("../escaped.txt", "x");
  tar.write_bz2(archive_path_);
  try {
    run(archive_path_);
    FAIL() << "a member outside the bundle was accepted";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("\"../escaped.txt\""), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(fs::path(root_) / "escaped.txt"));
  EXPECT_TRUE(fs::exists(archive_path_));
}

// Runs the program; its exit status and what it printed on both streams.
std::pair<int, std::string> run_program(const std::string& arguments) {
  std::string command = fmt::format("'{}' {} 2>&1", TESSERA_PLUS_CLI, arguments);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(SampleDownloadTest, CommandLineUnpacksLocalArchive) {
  auto [status, output] =
      run_program(fmt::format("download-sample -d '{}' --file '{}'", root_, archive_path_));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "解压中...\nbundle 数据解压完成\n");
  expect_sample_unpacked();
}

TEST_F(SampleDownloadTest, CommandLineRefusesAnArchiveInOneLineAndKeepsTheBundle) {
  fs::create_directories(fs::path(root_) / "bundle");
  std::ofstream(fs::path(root_) / "bundle/instruments.pk") << "mine";
  TarWriter tar = sample_tar();
  tar.add_symlink("h5/CS/latest.h5", "000001.XSHE.h5");
  tar.write_bz2(archive_path_);
  auto [status, output] =
      run_program(fmt::format("download-sample -d '{}' --file '{}'", root_, archive_path_));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(output,
            "解压中...\ntessera-plus: error: refusing archive member \"h5/CS/latest.h5\": symbolic "
            "link\n");
  EXPECT_EQ(entries(fs::path(root_) / "bundle"), std::vector<std::string>{"instruments.pk"});
  EXPECT_EQ(testing::read_file(fs::path(root_) / "bundle/instruments.pk"), "mine");
}

// The downloader (net/downloader.h) against the announced length.
class DownloaderTest : public ::testing::Test {
 protected:
  DownloaderTest() : out_(std::tmpfile()) {}
  ~DownloaderTest() override { std::fclose(out_); }

  std::string written() {
    std::rewind(out_);
    std::string content;
    char buffer[256];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out_)) content.append(buffer, n);
    return content;
  }

  std::string body_ = std::string(100000, 'b') + "end";
  LoopbackHttpServer server_{[this](const HttpRequest&) { return HttpReply{.body = body_}; }};
  std::string url_ = server_.base_url() + "/file";
  std::FILE* out_;
};

TEST_F(DownloaderTest, WritesTheWholeBody) {
  net::download(out_, body_.size(), url_);
  EXPECT_EQ(written(), body_);
}

TEST_F(DownloaderTest, BodyLongerThanAnnouncedIsCutAndRefused) {
  EXPECT_THROW(net::download(out_, 1000, url_), OSError);
  EXPECT_LE(written().size(), 1000u);
}

TEST_F(DownloaderTest, BodyShorterThanAnnouncedIsRefused) {
  EXPECT_THROW(net::download(out_, body_.size() + 1, url_), OSError);
  EXPECT_EQ(written(), body_);
}

}  // namespace
}  // namespace tessera_plus
