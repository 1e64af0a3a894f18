#include "tessera_plus/bundle/store/bundle_layout.h"

#include <fmt/format.h>

#include <cerrno>
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

std::vector<std::string> instrument_ids_in(const fs::path& dir) {
  std::vector<std::string> ids;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    // A FIFO or device named like an instrument file would block the writer's open forever.
    if (name.ends_with(kSuffix) && !name.ends_with(kSampleSuffix) && entry.is_regular_file()) {
      ids.push_back(order_book_id_of_file(name));
    }
  }
  return ids;
}

std::vector<std::string> minbar_instrument_ids(const fs::path& minbar) {
  std::vector<std::string> ids;
  for (const fs::directory_entry& entry : fs::directory_iterator(minbar)) {
    if (!entry.is_directory() || entry.path().filename() == kTicks) continue;
    for (std::string& id : instrument_ids_in(entry.path())) ids.push_back(std::move(id));
  }
  return ids;
}

}  // namespace tessera_plus::bundle
