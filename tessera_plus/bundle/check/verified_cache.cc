#include "tessera_plus/bundle/check/verified_cache.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/publish.h"

namespace tessera_plus::bundle::check_detail {
namespace {

constexpr std::string_view kMagic = "tessera_plus tick-verified 1\n";
// Far beyond any bundle's entries (a line of about 100 bytes a file): a larger file is not ours.
constexpr std::uintmax_t kMaxCacheBytes = 64u << 20;

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = 14695981039346656037ULL) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::filesystem::path cache_root() {
  if (const std::string xdg = env("XDG_CACHE_HOME"); !xdg.empty() && xdg.front() == '/') {
    return std::filesystem::path(xdg) / "tessera_plus" / "tick-verified";
  }
  if (const std::string home = env("HOME"); !home.empty()) {
    return std::filesystem::path(home) / ".cache" / "tessera_plus" / "tick-verified";
  }
  return {};
}

template <typename T>
bool parse_number(std::string_view& text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  if (text.empty()) return true;
  if (text.front() != ' ') return false;
  text.remove_prefix(1);
  return true;
}

// A name that a line can hold unambiguously; any other file is simply decoded every time.
bool storable_name(const std::string& name) {
  return !name.empty() && name.find_first_of("\t\n") == std::string::npos;
}

std::string body_of(const std::map<std::string, VerifiedFile>& entries) {
  std::string body;
  for (const auto& [name, entry] : entries) body += name + "\t" + encode_entry(entry) + "\n";
  return body;
}

// The entries of a cache file's text; empty on any doubt about it.
std::map<std::string, VerifiedFile> parse_cache(std::string_view text) {
  if (!text.starts_with(kMagic)) return {};
  text.remove_prefix(kMagic.size());
  std::uint64_t checksum = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), checksum, 16);
  if (ec != std::errc() || end != text.data() + 16 || end == text.data() + text.size() ||
      *end != '\n') {
    return {};
  }
  text.remove_prefix(17);
  if (fnv1a(text) != checksum) return {};
  std::map<std::string, VerifiedFile> entries;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::size_t tab = text.find('\t');
    if (eol == std::string_view::npos || tab >= eol) return {};
    std::optional<VerifiedFile> entry =
        decode_entry(std::string(text.substr(tab + 1, eol - tab - 1)));
    if (!entry) return {};
    entries[std::string(text.substr(0, tab))] = *entry;
    text.remove_prefix(eol + 1);
  }
  return entries;
}

std::map<std::string, VerifiedFile> read_cache(const std::filesystem::path& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxCacheBytes) return {};
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return {};
  return parse_cache(text);
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  constexpr std::int64_t kNs = 1000000000;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::uint64_t>(st.st_size),
                      st.st_mtim.tv_sec * kNs + st.st_mtim.tv_nsec,
                      st.st_ctim.tv_sec * kNs + st.st_ctim.tv_nsec};
}

std::uint64_t names_hash(const std::vector<std::string>& sorted_names) {
  std::uint64_t hash = fnv1a("");
  for (const std::string& name : sorted_names) {
    hash = fnv1a(name, hash);
    hash = fnv1a(std::string_view("\0", 1), hash);
  }
  return hash;
}

std::string encode_entry(const VerifiedFile& entry) {
  const FileIdentity& id = entry.identity;
  return fmt::format("{} {} {} {} {} {}", id.device, id.inode, id.size, id.mtime_ns, id.ctime_ns,
                     entry.names);
}

std::optional<VerifiedFile> decode_entry(const std::string& text) {
  std::string_view rest = text;
  VerifiedFile entry;
  FileIdentity& id = entry.identity;
  if (parse_number(rest, id.device) && parse_number(rest, id.inode) &&
      parse_number(rest, id.size) && parse_number(rest, id.mtime_ns) &&
      parse_number(rest, id.ctime_ns) && parse_number(rest, entry.names) && rest.empty() &&
      text.back() != ' ') {
    return entry;
  }
  return std::nullopt;
}

VerifiedCache VerifiedCache::open(const std::string& tick_dir, bool trusted) {
  VerifiedCache cache;
  cache.trusted_ = trusted;
  if (env("TESSERA_CHECK_CACHE") == "0") return cache;
  const std::filesystem::path root = cache_root();
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::canonical(tick_dir, ec);
  if (root.empty() || ec) return cache;
  cache.path_ = (root / fmt::format("{:016x}", fnv1a(dir.string()))).string();
  cache.loaded_ = read_cache(cache.path_);
  return cache;
}

bool VerifiedCache::vouches_for(const std::string& file_name, const VerifiedFile& entry) const {
  const auto found = loaded_.find(file_name);
  return trusted_ && found != loaded_.end() && found->second == entry;
}

void VerifiedCache::keep(const std::string& file_name, const VerifiedFile& entry) {
  if (enabled() && storable_name(file_name)) kept_[file_name] = entry;
}

void VerifiedCache::save() const {
  if (!enabled() || kept_ == loaded_) return;
  const std::string body = body_of(kept_);
  const std::filesystem::path path(path_);
  try {
    std::filesystem::create_directories(path.parent_path());
    remove_abandoned_builds(path.parent_path());
    write_file_atomically(path, fmt::format("{}{:016x}\n{}", kMagic, fnv1a(body), body));
  } catch (const std::exception& e) {
    // Only a slower next check is lost.
    system_log::debug(fmt::format("检查缓存 {} 未能写入：{}", path_, e.what()));
  }
}

}  // namespace tessera_plus::bundle::check_detail
