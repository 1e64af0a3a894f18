// The tick check's memory of files whose every day decoded cleanly, kept per user outside the
// bundle (a check never writes into the bundle, which researchers copy around): a file whose
// identity, size and times are unchanged since it decoded cleanly is not decoded again.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessera_plus::bundle::check_detail {

// What tells one state of a file from another. Any write changes mtime and ctime; ctime also
// changes when a restore (cp -p, touch -r) puts an old mtime back.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at `path`, nullopt when it cannot be had.
std::optional<FileIdentity> identity_of(const std::string& path);

// A hash of a file's member names (sorted), so that an entry vouches for those days only.
std::uint64_t names_hash(const std::vector<std::string>& sorted_names);

// One file's entry: at `identity`, the members hashing to `names` all decoded.
struct VerifiedFile {
  FileIdentity identity{};
  std::uint64_t names = 0;
  bool operator==(const VerifiedFile&) const = default;
};

// The entry of a file as one line without its name, as workers send it back; nullopt when
// `text` is not one.
std::string encode_entry(const VerifiedFile& entry);
std::optional<VerifiedFile> decode_entry(const std::string& text);

// The entries of one tick directory, keyed by file name. Never throws on account of the cache
// file: one that is missing, unreadable or fails any validation (magic, version, checksum, syntax)
// reads as empty, and one that cannot be written is left as it was.
class VerifiedCache {
 public:
  // The cache of the directory at `tick_dir`, under $XDG_CACHE_HOME/tessera_plus/tick-verified/
  // (~/.cache without it), loaded; disabled (remembering and saving nothing) when
  // TESSERA_CHECK_CACHE is 0 or no cache directory can be named. Untrusted (a full check), it
  // vouches for nothing but still keeps and saves what this check verifies.
  static VerifiedCache open(const std::string& tick_dir, bool trusted = true);

  bool enabled() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  bool vouches_for(const std::string& file_name, const VerifiedFile& entry) const;
  // The entries of this check replace all earlier ones: files not seen again are forgotten.
  void keep(const std::string& file_name, const VerifiedFile& entry);
  // Writes the kept entries (temporary file, then rename) when they differ from those loaded.
  void save() const;

 private:
  std::string path_{};
  bool trusted_ = true;
  std::map<std::string, VerifiedFile> loaded_{};
  std::map<std::string, VerifiedFile> kept_{};
};

}  // namespace tessera_plus::bundle::check_detail
