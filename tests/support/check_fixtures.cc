#include "tests/support/check_fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::testing {
namespace {

std::string ensure_dir(const std::string& path) {
  std::filesystem::create_directories(path);
  return path;
}

// Adds one minute to a YYYYMMDDHHMMSS number within the hour.
std::int64_t plus_minutes(std::int64_t datetime, int minutes) { return datetime + 100 * minutes; }

}  // namespace

TestBundle::TestBundle() : root_((dir_.path() / "root").string()) { ensure_dir(base()); }

std::string TestBundle::minbar_dir(const std::string& folder) const {
  return ensure_dir(base() + "/h5/" + folder);
}

std::string TestBundle::tick_dir() const { return ensure_dir(base() + "/ticks"); }

void TestBundle::write_calendar(const std::vector<std::int64_t>& dates) const {
  write_file(base() + "/trading_dates.npy", npy_image(dates));
}

void TestBundle::open_up() const {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (entry.is_directory()) ::chmod(entry.path().c_str(), 0755);
  }
  ::chmod(dir_.path().c_str(), 0755);
}

std::string npy_image(const std::vector<std::int64_t>& values, std::string_view descr, int major) {
  std::string header = "{'descr': '" + std::string(descr) +
                       "', 'fortran_order': False, 'shape': (" + std::to_string(values.size()) +
                       ",), }";
  const std::size_t length_bytes = major == 1 ? 2 : 4;
  const std::size_t prefix = 8 + length_bytes;
  // numpy pads the header with blanks to a multiple of 64 bytes, ending in a line break.
  while ((prefix + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string image = "\x93NUMPY";
  image += static_cast<char>(major);
  image += '\0';
  for (std::size_t i = 0; i < length_bytes; ++i) {
    image += static_cast<char>((header.size() >> (8 * i)) & 0xff);
  }
  image += header;
  const bool big = descr.front() == '>';
  const std::size_t size = static_cast<std::size_t>(descr.back() - '0');
  for (std::int64_t value : values) {
    auto raw = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < size; ++i) {
      std::size_t shift = 8 * (big ? size - 1 - i : i);
      image += static_cast<char>((raw >> shift) & 0xff);
    }
  }
  return image;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_minbar_file(const std::string& path, const std::vector<Day>& days,
                       const h5::RecordLayout& layout, int bars_per_day) {
  std::vector<std::int64_t> datetimes;
  std::vector<bundle::IndexEntry> index;
  for (const Day& day : days) {
    index.push_back(
        {static_cast<std::int32_t>(day.date), static_cast<std::uint32_t>(datetimes.size())});
    for (int k = 0; k < bars_per_day; ++k) datetimes.push_back(plus_minutes(day.first_bar, k));
  }
  h5::File file = h5::File::open(path, h5::Mode::kCreate);
  std::vector<std::byte> records(datetimes.size() * layout.size);
  const h5::Field* datetime = layout.find("datetime");
  for (std::size_t i = 0; i < datetimes.size(); ++i) {
    h5::store_field(records.data() + i * layout.size, *datetime, static_cast<double>(datetimes[i]));
  }
  const h5::Creation how{.chunk = 64, .growable = true, .deflate = 9};
  h5::Dataset::create(file, "data", layout, records.data(), datetimes.size(), how);
  h5::Dataset::create(file, "index", bundle::INDEX_DTYPE, index.data(), index.size(), how);
  file.close();
}

void write_raw_minbar_file(const std::string& path, const std::vector<std::int64_t>* datetimes,
                           const std::vector<bundle::IndexEntry>* index) {
  h5::File file = h5::File::open(path, h5::Mode::kCreate);
  const h5::Creation how{.chunk = 64, .growable = true, .deflate = 9};
  if (datetimes) {
    std::vector<bundle::EquityBar> bars(datetimes->size());
    for (std::size_t i = 0; i < bars.size(); ++i) bars[i].datetime = (*datetimes)[i];
    h5::Dataset::create(file, "data", bundle::EQUITIES_DTYPE, bars.data(), bars.size(), how);
  }
  if (index) {
    h5::Dataset::create(file, "index", bundle::INDEX_DTYPE, index->data(), index->size(), how);
  }
  file.close();
}

void write_tick_file(const std::string& path, const std::vector<std::string>& names) {
  h5::File file = h5::File::open(path, h5::Mode::kCreate);
  for (const std::string& name : names) {
    h5::Dataset::create(file, name, bundle::INDEX_DTYPE, nullptr, 0, h5::Creation{});
  }
  file.close();
}

FileHolder::FileHolder(const std::string& path) {
  int ready[2], release[2];
  if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe failed");
  child_ = ::fork();
  if (child_ == 0) {
    ::close(ready[0]);
    ::close(release[1]);  // or the holder would keep its own release pipe open forever
    char c = 'r';
    try {
      h5::File held = h5::File::open(path, h5::Mode::kAppend);
      (void)!::write(ready[1], &c, 1);
      (void)!::read(release[0], &c, 1);
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_ = release[1];
  char c;
  const bool holding = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  if (!holding) throw std::runtime_error("the holder could not open " + path);
}

FileHolder::~FileHolder() {
  ::close(release_);  // end of file on the pipe lets the holder go
  ::waitpid(child_, nullptr, 0);
}

int run_unprivileged(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(254);
    int status = 253;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// Dataset by dataset, as bundle_digest.py prints it.
std::string bundle_digest(const std::string& root) {
  std::string command = "/usr/bin/python3 '" TESSERA_PLUS_SOURCE_DIR
                        "/tests/support/bundle_digest.py' '" +
                        root + "'";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

void exec_cli(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
  std::vector<char*> argv{const_cast<char*>(TESSERA_PLUS_CLI)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(TESSERA_PLUS_CLI, argv.data());
  ::_exit(127);
}

CliResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& env) {
  TempDir scratch;
  const std::string in_path = scratch / "stdin", out_path = scratch / "stdout",
                    err_path = scratch / "stderr";
  write_file(in_path, input);
  pid_t pid = ::fork();
  if (pid == 0) {
    int in = ::open(in_path.c_str(), O_RDONLY);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    exec_cli(args, env);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  CliResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace tessera_plus::testing
