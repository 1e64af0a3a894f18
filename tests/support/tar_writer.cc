#include "tests/support/tar_writer.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace tessera_plus::testing {
namespace {

constexpr std::size_t kBlock = 512;

void put(char* header, std::size_t offset, std::size_t size, const std::string& text) {
  if (text.size() > size) throw std::invalid_argument("tar field too long: " + text);
  std::memcpy(header + offset, text.data(), text.size());
}

// Numeric fields are zero-padded octal, NUL-terminated.
void put_octal(char* header, std::size_t offset, std::size_t size, long value) {
  put(header, offset, size, fmt::format("{:0{}o}", value, size - 1));
}

}  // namespace

void TarWriter::add(const std::string& name, char type, int mode, const std::string& content,
                    const std::string& link, int major, int minor, long size) {
  char header[kBlock] = {};
  put(header, 0, 100, name);
  put_octal(header, 100, 8, mode);
  put_octal(header, 108, 8, 0);  // uid
  put_octal(header, 116, 8, 0);  // gid
  put_octal(header, 124, 12, size >= 0 ? size : static_cast<long>(content.size()));
  put_octal(header, 136, 12, kMtime);
  header[156] = type;
  put(header, 157, 100, link);
  put(header, 257, 6, std::string("ustar\0", 6));
  put(header, 263, 2, "00");
  put_octal(header, 329, 8, major);
  put_octal(header, 337, 8, minor);
  // The checksum is taken with its own field read as spaces.
  std::memset(header + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  put(header, 148, 8, fmt::format("{:06o}", sum) + std::string("\0 ", 2));
  data_.append(header, kBlock);
  data_ += content;
  data_.append((kBlock - content.size() % kBlock) % kBlock, '\0');
}

void TarWriter::add_file(const std::string& name, const std::string& content, int mode) {
  add(name, '0', mode, content, "");
}

void TarWriter::add_directory(const std::string& name, int mode) { add(name, '5', mode, "", ""); }

void TarWriter::add_symlink(const std::string& name, const std::string& target) {
  add(name, '2', 0777, "", target);
}

void TarWriter::add_hardlink(const std::string& name, const std::string& target) {
  add(name, '1', 0644, "", target);
}

void TarWriter::add_char_device(const std::string& name, int major, int minor) {
  add(name, '3', 0666, "", "", major, minor);
}

void TarWriter::add_fifo(const std::string& name) { add(name, '6', 0644, "", ""); }

void TarWriter::add_truncated_file(const std::string& name, long size, const std::string& content) {
  add(name, '0', 0644, content, "", 0, 0, size);
  truncated_ = true;
}

void TarWriter::write_bz2(const std::string& path) const {
  std::string command = fmt::format("bzip2 -c > '{}'", path);
  std::FILE* pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) throw std::runtime_error("cannot run bzip2");
  // Two empty blocks end an archive, unless it is meant to stop inside a member.
  std::string archive = truncated_ ? data_ : data_ + std::string(2 * kBlock, '\0');
  std::size_t written = std::fwrite(archive.data(), 1, archive.size(), pipe);
  if (::pclose(pipe) != 0 || written != archive.size()) {
    throw std::runtime_error("bzip2 failed writing " + path);
  }
}

}  // namespace tessera_plus::testing
