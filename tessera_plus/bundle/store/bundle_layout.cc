#include "tessera_plus/bundle/store/bundle_layout.h"

#include <fmt/format.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/regular_file.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBundle = "bundle";
constexpr std::string_view kMinbar = "h5";
constexpr std::string_view kTicks = "ticks";
constexpr std::string_view kSuffix = ".h5";
constexpr std::string_view kSampleSuffix = "-sample.h5";

bool hidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

// Names in `dir` that do not begin with a dot, in listing order; none when it cannot be listed.
std::vector<std::string> visible_names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!hidden(name)) names.push_back(std::move(name));
  }
  return names;
}

// Why the entry at `path` is no instrument file, or nullopt when it is a regular file (or gone).
std::optional<std::string> odd_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ELOOP) return "a symbolic-link loop";
    struct stat link {};
    if (errno == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      return "a symbolic link that leads nowhere";
    }
    if (errno == ENOENT) return std::nullopt;
    return fmt::format("cannot be examined: {}", std::strerror(errno));
  }
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return "a directory named like an instrument file";
  if (S_ISFIFO(st.st_mode)) return "a FIFO, not a regular file";
  if (S_ISSOCK(st.st_mode)) return "a socket, not a regular file";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device, not a regular file";
  return "not a regular file";
}

// Why the directory at `path` cannot be listed although something stands there: a link loop or
// a link to nothing; nullopt otherwise (a directory, nothing at all, or something else, which the
// listings pass over).
std::optional<std::string> odd_directory(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return std::nullopt;
  if (errno == ELOOP) return "a symbolic-link loop";
  struct stat link {};
  if (errno == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    return "a symbolic link that leads nowhere";
  }
  return std::nullopt;
}

}  // namespace

fs::path bundle_dir(const fs::path& data_bundle_path) { return data_bundle_path / kBundle; }

fs::path minbar_dir(const fs::path& bundle) { return bundle / kMinbar; }

fs::path tick_dir(const fs::path& bundle) { return bundle / kTicks; }

fs::path trading_calendar_file(const fs::path& bundle) { return bundle / "trading_dates.npy"; }

fs::path suspensions_file(const fs::path& bundle) { return bundle / "suspended_days.h5"; }

fs::path instrument_list_file(const fs::path& bundle) { return bundle / "instruments.pk"; }

fs::path deleted_files_record(const fs::path& bundle) { return bundle / ".deleted_files"; }
fs::path run_lock_file(const fs::path& bundle) { return bundle / RUN_LOCK_FILE_NAME; }

fs::path class_dir(const fs::path& minbar, std::string_view name) { return minbar / name; }

bool is_derivatives_class_dir(std::string_view name) {
  return name == FUTURE_DIR || name == OPTION_DIR;
}

std::string instrument_file_name(const std::string& order_book_id) {
  return order_book_id + std::string(kSuffix);
}

fs::path instrument_file(const fs::path& dir, const std::string& order_book_id) {
  return dir / instrument_file_name(order_book_id);
}

std::string order_book_id_of_file(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.ends_with(kSuffix)) name.remove_suffix(kSuffix.size());
  return std::string(name);
}

std::optional<BundleFile> locate_instrument_file(const fs::path& file) {
  const std::string name = file.filename().string();
  const bool instrument =
      !hidden(name) && name.ends_with(kSuffix) && !name.ends_with(kSampleSuffix);
  if (!instrument) return std::nullopt;
  const std::string id = order_book_id_of_file(name);
  const fs::path dir = file.parent_path();
  const fs::path above = dir.parent_path();
  if (dir.filename() == kTicks && above.filename() == kBundle) {
    return BundleFile{above, (fs::path(kTicks) / name).string(), true, id};
  }
  const std::string class_name = dir.filename().string();
  // A hidden directory (".", "..", a build in progress) is no class directory.
  if (!class_name.empty() && !hidden(class_name) && above.filename() == kMinbar &&
      above.parent_path().filename() == kBundle) {
    return BundleFile{above.parent_path(), (fs::path(kMinbar) / class_name / name).string(), false,
                      id};
  }
  return std::nullopt;
}

fs::path find_minbar_file(const fs::path& data_bundle_path, const std::string& order_book_id) {
  require_safe_name("order book id", order_book_id);
  const fs::path minbar = minbar_dir(bundle_dir(data_bundle_path));
  for (std::string_view name : MINBAR_CLASS_DIRS) {
    fs::path file = instrument_file(class_dir(minbar, name), order_book_id);
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) return file;
  }
  throw OSError(ENOENT, fmt::format("no minute-bar file of {} in any class directory of {}",
                                    order_book_id, minbar.string()));
}

fs::path tick_file(const fs::path& data_bundle_path, const std::string& order_book_id) {
  require_safe_name("order book id", order_book_id);
  return instrument_file(tick_dir(bundle_dir(data_bundle_path)), order_book_id);
}

void require_safe_name(std::string_view what, const std::string& name) {
  const bool unsafe = name.empty() || name.find('/') != std::string::npos ||
                      name.find("..") != std::string::npos || name.find('\0') != std::string::npos;
  if (unsafe) {
    throw ValueError(fmt::format("unsafe {} '{}': it must be a plain file name", what, name));
  }
}

std::vector<std::string> list_instrument_files(const std::string& dir) {
  std::vector<std::string> paths;
  for (const std::string& name : visible_names(dir)) {
    if (!name.ends_with(kSuffix)) continue;
    std::string path = (fs::path(dir) / name).string();
    if (is_regular_file(path)) paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::string> list_minbar_files(const std::string& minbar) {
  std::vector<std::string> paths;
  for (const std::string& name : visible_names(minbar)) {
    for (std::string& path : list_instrument_files((fs::path(minbar) / name).string())) {
      paths.push_back(std::move(path));
    }
  }
  return paths;
}

std::optional<std::string> odd_instrument_file(const std::string& path) { return odd_file(path); }

std::vector<OddEntry> odd_instrument_entries(const std::string& dir) {
  if (std::optional<std::string> reason = odd_directory(dir)) return {{dir, *reason}};
  std::vector<OddEntry> odd;
  for (const std::string& name : visible_names(dir)) {
    if (!name.ends_with(kSuffix)) continue;
    std::string path = (fs::path(dir) / name).string();
    if (std::optional<std::string> reason = odd_file(path)) odd.push_back({path, *reason});
  }
  return odd;
}

std::vector<OddEntry> odd_minbar_entries(const std::string& minbar) {
  if (std::optional<std::string> reason = odd_directory(minbar)) return {{minbar, *reason}};
  std::vector<OddEntry> odd;
  for (const std::string& name : visible_names(minbar)) {
    for (OddEntry& entry : odd_instrument_entries((fs::path(minbar) / name).string())) {
      odd.push_back(std::move(entry));
    }
  }
  return odd;
}

std::vector<std::string> instrument_ids_in(const fs::path& dir) {
  std::vector<std::string> ids;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    // A FIFO or device named like an instrument file would block the writer's open forever; a
    // link loop cannot be opened at all.
    std::error_code ec;
    if (name.ends_with(kSuffix) && !name.ends_with(kSampleSuffix) && entry.is_regular_file(ec)) {
      ids.push_back(order_book_id_of_file(name));
    }
  }
  return ids;
}

std::vector<std::string> minbar_instrument_ids(const fs::path& minbar) {
  std::vector<std::string> ids;
  for (const fs::directory_entry& entry : fs::directory_iterator(minbar)) {
    std::error_code ec;
    if (!entry.is_directory(ec) || entry.path().filename() == kTicks) continue;
    for (std::string& id : instrument_ids_in(entry.path())) ids.push_back(std::move(id));
  }
  return ids;
}

}  // namespace tessera_plus::bundle
