// Where everything lives in a data bundle, and how instrument files are named and found. Every path
// of the layout, from the root the user names down to an instrument's file, is built here, so the
// layout is written down once:
//
//   <data_bundle_path>/bundle/                the bundle directory
//     trading_dates.npy, suspended_days.h5,   base data of the host's base updater
//     instruments.pk
//     .tessera_plus-run.lock                  the run lock, while a writing run holds it
//     h5/<class>/<order book id>.h5           minute bars, one directory per instrument class
//     ticks/<order book id>.h5                ticks, no sub-directories
//     .deleted_files                          files a check deleted, until an update rebuilds them
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessera_plus::bundle {

// The bundle directory under the root the user names (`data_bundle_path`).
std::filesystem::path bundle_dir(const std::filesystem::path& data_bundle_path);

// Inside the bundle directory `bundle`: the minute-bar directory (the `path` the minute-bar writer
// is handed), the tick directory, and the base-data files that this module reads.
std::filesystem::path minbar_dir(const std::filesystem::path& bundle);
std::filesystem::path tick_dir(const std::filesystem::path& bundle);
std::filesystem::path trading_calendar_file(const std::filesystem::path& bundle);
std::filesystem::path suspensions_file(const std::filesystem::path& bundle);
std::filesystem::path instrument_list_file(const std::filesystem::path& bundle);
// The record of the instrument files that a check deleted and no update has rebuilt yet
// (deleted_files.h). Hidden and without a data suffix, so no scan takes it for data.
std::filesystem::path deleted_files_record(const std::filesystem::path& bundle);

// The lock file of the bundle directory `bundle`, which every run that writes the bundle locks for
// its whole length (bundle_lock.h). Hidden and without ".h5", so that no listing below takes it for
// data, and not a temporary name, so that no sweep removes it.
inline constexpr char RUN_LOCK_FILE_NAME[] = ".tessera_plus-run.lock";
std::filesystem::path run_lock_file(const std::filesystem::path& bundle);

// The class directories of the minute-bar directory, in the order they are reported. "future" is
// singular although its tag is "futures".
inline constexpr char EQUITIES_DIR[] = "equities";
inline constexpr char FUTURE_DIR[] = "future";
inline constexpr char OPTION_DIR[] = "option";
inline constexpr std::array<std::string_view, 3> MINBAR_CLASS_DIRS = {EQUITIES_DIR, FUTURE_DIR,
                                                                      OPTION_DIR};

// The class directory `name` of the minute-bar directory `minbar`.
std::filesystem::path class_dir(const std::filesystem::path& minbar, std::string_view name);

// Whether the files of the class directory `name` hold derivatives (futures and options), whose
// days are placed by the night-session rule; every other name holds equity-like bars.
bool is_derivatives_class_dir(std::string_view name);

// "000001.XSHE" -> "000001.XSHE.h5".
std::string instrument_file_name(const std::string& order_book_id);

// The file of `order_book_id` in `dir` (a class directory or the tick directory).
std::filesystem::path instrument_file(const std::filesystem::path& dir,
                                      const std::string& order_book_id);

// The minute-bar file of `order_book_id` in the bundle under `data_bundle_path`: the one of the
// class directories that holds it, in MINBAR_CLASS_DIRS order. OSError ENOENT when none does.
std::filesystem::path find_minbar_file(const std::filesystem::path& data_bundle_path,
                                       const std::string& order_book_id);
// The tick file of `order_book_id` in the bundle under `data_bundle_path`, whether it exists or
// not.
std::filesystem::path tick_file(const std::filesystem::path& data_bundle_path,
                                const std::string& order_book_id);

// The order book id a file stands for: its last path component without the final ".h5"
// (".../equities/000001.XSHE.h5" -> "000001.XSHE"); the component unchanged when it has no ".h5".
std::string order_book_id_of_file(std::string_view path);

// An instrument file as its bundle knows it.
struct BundleFile {
  std::filesystem::path bundle;  // the bundle directory
  std::string relative;          // "h5/equities/000001.XSHE.h5" or "ticks/000001.XSHE.h5"
  bool tick = false;
  std::string order_book_id;
};

// Where `file` lies in its bundle, judged by the last components of the path alone (the file
// system is not consulted): a minute-bar file "<root>/bundle/h5/<class>/<id>.h5" or a tick file
// "<root>/bundle/ticks/<id>.h5", whose name an update takes for an instrument (visible, ending in
// ".h5" but not in "-sample.h5"). nullopt for any other path.
std::optional<BundleFile> locate_instrument_file(const std::filesystem::path& file);

// An id or file name becomes a file name inside a class directory: empty names, a separator, ".."
// or NUL would put the file somewhere else, so they are a ValueError naming `what`.
void require_safe_name(std::string_view what, const std::string& name);

// The instrument files of `dir` as the checks see them: the entries whose names end in ".h5" and do
// not begin with a dot (builds in progress are hidden), as `dir` joined with the name, in
// directory-listing order. Only regular files count (a symbolic link counts as what it points to):
// a directory can be neither checked nor deleted as one, and opening a FIFO, socket or device could
// block forever. A missing or unreadable `dir` gives no entries.
std::vector<std::string> list_instrument_files(const std::string& dir);

// The same for every entry of the minute-bar directory `minbar` that does not begin with a dot: the
// files exactly one level below it, directory by directory in listing order.
std::vector<std::string> list_minbar_files(const std::string& minbar);

// An entry that stands where an instrument file or a directory of them would, and that the
// listings here leave out: a symbolic-link loop, a link that leads nowhere, a FIFO, socket or
// device, or a directory named like an instrument file. Updates skip it, `status` and `check` name
// it, and nothing deletes it.
struct OddEntry {
  std::string path;
  std::string reason;  // "a symbolic-link loop", "a FIFO", ...
};

// Why the entry at `path` is no instrument file (see OddEntry), or nullopt for a regular file or
// nothing at all.
std::optional<std::string> odd_instrument_file(const std::string& path);

// The odd entries of `dir` among the visible names ending in ".h5", in listing order; or `dir`
// itself when it is a symbolic-link loop or leads nowhere. Never an exception.
std::vector<OddEntry> odd_instrument_entries(const std::string& dir);

// The same for the minute-bar directory `minbar`: itself, and each visible entry of it and its
// class directories.
std::vector<OddEntry> odd_minbar_entries(const std::string& minbar);

// The order book ids of the instrument files directly in `dir` as an update finds them: regular
// files whose names end in ".h5" but not in "-sample.h5" (sample files are not instruments), in
// listing order; odd entries (see OddEntry) are left out. The directory must exist; a listing
// error is an exception.
std::vector<std::string> instrument_ids_in(const std::filesystem::path& dir);

// The same over every sub-directory of the minute-bar directory `minbar` except one named "ticks",
// in listing order; an id found in two class directories is listed twice. A class directory that
// is a symbolic-link loop is left out.
std::vector<std::string> minbar_instrument_ids(const std::filesystem::path& minbar);

}  // namespace tessera_plus::bundle
