#include "tessera_plus/bundle/update/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {
namespace {

struct ReadDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteDeleter {
  void operator()(archive* a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReadDeleter>;
using Writer = std::unique_ptr<archive, WriteDeleter>;

// Members are written under an absolute destination prefix (libarchive writes relative to the
// working directory, which a library must not change), so refusing absolute member names is our
// own check rather than ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS. The destination is resolved to a
// path without symbolic links first, because SECURE_SYMLINKS inspects every component of it.
constexpr int kExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                              ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
constexpr std::size_t kBlockSize = 64 * 1024;

[[noreturn]] void fail(archive* a, const std::string& what) {
  int error_number = archive_errno(a);
  const char* reason = archive_error_string(a);
  std::string text = fmt::format("{}: {}", what, reason ? reason : "unknown libarchive error");
  raise_os_error(error_number > 0 ? error_number : 0, text);
}

[[noreturn]] void refuse(const std::string& member, std::string_view why) {
  throw ValueError(fmt::format("refusing archive member \"{}\": {}", member, why));
}

// Depth below the destination that `path` reaches, walking its components lexically from
// `depth`; negative as soon as it climbs above the destination.
int walk(std::string_view path, int depth) {
  while (!path.empty() && depth >= 0) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part == "..") {
      --depth;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return depth;
}

bool has_dotdot(std::string_view path) {
  while (true) {
    std::size_t slash = path.find('/');
    if (path.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) return false;
    path.remove_prefix(slash + 1);
  }
}

// A path from the archive that names a place inside the destination: relative, no "..".
void check_inside(const std::string& member, std::string_view path, std::string_view role) {
  if (path.starts_with('/')) refuse(member, fmt::format("{} is an absolute path", role));
  if (has_dotdot(path)) refuse(member, fmt::format("{} contains \"..\"", role));
}

// A symbolic link is resolved from its own directory, so its target may climb as far as that
// directory lies below the destination, and no further.
void check_symlink_target(const std::string& member, std::string_view target) {
  if (target.starts_with('/')) refuse(member, "symbolic link to an absolute path");
  std::string_view parent = member;
  std::size_t slash = parent.rfind('/');
  parent = slash == std::string_view::npos ? std::string_view() : parent.substr(0, slash);
  if (walk(target, walk(parent, 0)) < 0) {
    refuse(member, "symbolic link pointing outside the bundle directory");
  }
}

// Checks a member and redirects it (and a hard link's target) under `root`.
void place(archive_entry* entry, const std::string& member, const std::string& root) {
  check_inside(member, member, "name");
  mode_t type = archive_entry_filetype(entry);
  if (type == AE_IFCHR || type == AE_IFBLK) refuse(member, "device node");
  if (const char* target = archive_entry_symlink(entry)) check_symlink_target(member, target);
  if (const char* target = archive_entry_hardlink(entry)) {
    check_inside(member, target, "hard link target");
    archive_entry_copy_hardlink(entry, (root + "/" + target).c_str());
  }
  if (type == AE_IFREG) {
    archive_entry_set_perm(entry, archive_entry_perm(entry) & ~mode_t{S_ISUID | S_ISGID});
  }
  archive_entry_copy_pathname(entry, (root + "/" + member).c_str());
}

// The write side reports refusals of its own secure-extraction checks without an errno.
[[noreturn]] void fail_member(archive* writer, const std::string& member) {
  if (archive_errno(writer) <= 0) {
    const char* reason = archive_error_string(writer);
    refuse(member, reason ? reason : "refused by the extractor");
  }
  fail(writer, fmt::format("extracting \"{}\"", member));
}

void copy_data(archive* reader, archive* writer, const std::string& member) {
  const void* block;
  std::size_t size;
  la_int64_t offset;
  while (true) {
    int r = archive_read_data_block(reader, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return;
    if (r < ARCHIVE_WARN) fail(reader, fmt::format("reading \"{}\"", member));
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
      fail(writer, fmt::format("writing \"{}\"", member));
    }
  }
}

std::string resolved_directory(const std::string& dest) {
  char resolved[PATH_MAX];
  if (::realpath(dest.c_str(), resolved) == nullptr) throw_os_error(errno, dest);
  std::string root = resolved;
  if (root == "/") root.clear();  // so that root + "/" + member stays a clean path
  return root;
}

Reader open_reader(const std::string& archive_path) {
  Reader reader(archive_read_new());
  if (!reader) throw OSError(ENOMEM, "libarchive: cannot create a reader");
  archive_read_support_filter_bzip2(reader.get());
  archive_read_support_format_tar(reader.get());
  if (archive_read_open_filename(reader.get(), archive_path.c_str(), kBlockSize) != ARCHIVE_OK) {
    fail(reader.get(), fmt::format("opening {}", archive_path));
  }
  return reader;
}

Writer open_writer() {
  Writer writer(archive_write_disk_new());
  if (!writer) throw OSError(ENOMEM, "libarchive: cannot create a writer");
  archive_write_disk_set_options(writer.get(), kExtractFlags);
  return writer;
}

}  // namespace

void _extract_tar_bz2(const std::string& archive_path, const std::string& dest) {
  std::string root = resolved_directory(dest);
  Reader reader = open_reader(archive_path);
  Writer writer = open_writer();
  archive_entry* entry;
  while (true) {
    int r = archive_read_next_header(reader.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) fail(reader.get(), fmt::format("reading {}", archive_path));
    const char* name = archive_entry_pathname(entry);
    std::string member = name ? name : "";
    if (member.empty()) refuse(member, "no usable name");
    place(entry, member, root);
    if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) fail_member(writer.get(), member);
    if (archive_entry_size(entry) > 0) copy_data(reader.get(), writer.get(), member);
    if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
      fail(writer.get(), fmt::format("finishing \"{}\"", member));
    }
  }
  // Directory permissions and times are applied here, after their contents are written.
  if (archive_write_close(writer.get()) < ARCHIVE_WARN) fail(writer.get(), "finishing " + dest);
}

}  // namespace tessera_plus::bundle
