// Builds tar archives member by member (ustar headers), so tests can craft exactly the members
// they need, including ones no tar tool would write: absolute names, "..", links leaving the tree.
#pragma once

#include <string>

namespace tessera_plus::testing {

class TarWriter {
 public:
  static constexpr long kMtime = 1600000000;  // modification time of every member

  void add_file(const std::string& name, const std::string& content, int mode = 0644);
  void add_directory(const std::string& name, int mode = 0755);
  void add_symlink(const std::string& name, const std::string& target);
  void add_hardlink(const std::string& name, const std::string& target);
  void add_char_device(const std::string& name, int major, int minor);
  void add_fifo(const std::string& name);
  // A member whose header claims `size` bytes while only `content` follows: the archive ends
  // inside it.
  void add_truncated_file(const std::string& name, long size, const std::string& content);

  // Writes the archive compressed with the bzip2 command to `path`.
  void write_bz2(const std::string& path) const;

 private:
  void add(const std::string& name, char type, int mode, const std::string& content,
           const std::string& link, int major = 0, int minor = 0, long size = -1);

  std::string data_;
  bool truncated_ = false;
};

}  // namespace tessera_plus::testing
