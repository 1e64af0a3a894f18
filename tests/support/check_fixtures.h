// Building bundles for the checker tests: the base files, minute-bar and tick files (sound and
// broken ones), another process holding a file, and runs of the real command-line program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tessera_plus/bundle/store/constants.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::testing {

// A bundle root in a fresh temporary directory, with the directories the checkers look into.
class TestBundle {
 public:
  TestBundle();
  const std::string& root() const { return root_; }
  std::string base() const { return root_ + "/bundle"; }
  // bundle/h5/<folder>, created on first use.
  std::string minbar_dir(const std::string& folder) const;
  // bundle/ticks, created on first use.
  std::string tick_dir() const;
  // Writes bundle/trading_dates.npy as little-endian int64.
  void write_calendar(const std::vector<std::int64_t>& dates) const;
  // Lets an unprivileged process into the temporary directory.
  void open_up() const;

 private:
  TempDir dir_;
  std::string root_;
};

// An NPY file image: the header of format `major`.0 for one-dimensional `values` stored as
// `descr` (byte order and integer kind, such as "<i8", ">i4", "|u1").
std::string npy_image(const std::vector<std::int64_t>& values, std::string_view descr = "<i8",
                      int major = 1);
void write_file(const std::string& path, const std::string& content);

// One trading day of a minute-bar file: its index date and the datetime of its first bar.
struct Day {
  std::int64_t date;
  std::int64_t first_bar;
};

// A minute-bar file whose `index` lists `days` in order, each day holding `bars_per_day` bars one
// minute apart from its first bar. `layout` is the record type of `data`.
void write_minbar_file(const std::string& path, const std::vector<Day>& days,
                       const h5::RecordLayout& layout = bundle::EQUITIES_DTYPE,
                       int bars_per_day = 2);
// A minute-bar file from raw parts; a dataset is left out when its pointer is null.
void write_raw_minbar_file(const std::string& path, const std::vector<std::int64_t>* datetimes,
                           const std::vector<bundle::IndexEntry>* index);
// A tick file with one empty dataset per name.
void write_tick_file(const std::string& path, const std::vector<std::string>& names);

// Another process that holds `path` open read-write (and so locked) until destroyed.
class FileHolder {
 public:
  explicit FileHolder(const std::string& path);
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

 private:
  pid_t child_ = -1;
  int release_ = -1;
};

// Runs `body` in a forked child as user and group 65534 (root ignores file modes); returns its
// exit status, or 255 when it did not exit normally.
int run_unprivileged(const std::function<int()>& body);

struct CliResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};
// The bundle under `root` dataset by dataset, as bundle_digest.py prints it: equal digests mean
// equal data whatever the files' byte layout.
std::string bundle_digest(const std::string& root);

// The newline-ended lines of `text`, without their newlines; a last line without one is left out.
std::vector<std::string> lines_of(const std::string& text);

// Runs the real tessera-plus with `args`, `input` as its whole standard input and `env` entries
// ("NAME=value") added to its environment.
CliResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& env = {});

// In a forked child whose descriptors are set up: adds `env` entries and becomes tessera-plus
// with `args`; exits 127 when it cannot.
[[noreturn]] void exec_cli(const std::vector<std::string>& args,
                           const std::vector<std::string>& env);

}  // namespace tessera_plus::testing
