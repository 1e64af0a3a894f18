// HDF5 files and their top-level members.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"
#include "tessera_plus/h5/journal_io.h"
#include "tessera_plus/h5/lock_wait.h"

namespace tessera_plus::h5 {

class CommitGroup;
class JournalSession;

enum class Mode {
  kReadOnly,  // an existing file, read only
  kAppend,    // read-write; a missing file is created
  kCreate,    // a new file; an existing one is an error
};

class File {
 public:
  // Opens `path`. Files created here track free space persistently, so that space released by a
  // deleted dataset or a rewritten chunk is reused after the file is closed and opened again
  // instead of being lost for good. Something at `path` that is not a regular file (a FIFO, a
  // device) is refused with OSError (EINVAL) before HDF5 touches it. A read-only open first rolls
  // back an update that a killed process left half-applied (journal_driver.h), or, without write
  // access to do so, fails as a file locked by another process would.
  static File open(const std::string& path, Mode mode);

  // Opens `path` through the journal (journal_driver.h): the writes of this open reach the file
  // only in close(), all of them or none. Any open first rolls back an update that a killed process
  // left half-applied. A journaled file destroyed without close() (an exception on the way) keeps
  // its old content. A lock that another process holds on the file is waited for as
  // `lock_deadline` allows (lock_wait.h), then the open fails with BlockingIOError. With `group`,
  // close() leaves the commit to the group (journal_driver.h) and throws nothing of it; opening a
  // file that waits in the group commits the group first, and that file's failed commit is thrown
  // here as the OSError kind of its errno. `faults` is for tests only.
  static File open_journaled(const std::string& path, Mode mode,
                             std::optional<FaultPlan> faults = std::nullopt,
                             LockDeadline lock_deadline = {}, CommitGroup* group = nullptr);

  File(File&&) noexcept = default;
  File& operator=(File&& other) noexcept;
  ~File();

  Id id() const { return id_.get(); }
  const std::string& path() const { return path_; }

  bool has(const std::string& name) const;
  // True when `name` is an ordinary member stored in this file; false for a soft link or a link
  // into another file, whose target a writer must never follow. KeyError when it does not exist.
  bool member_is_hard_link(const std::string& name) const;
  // Names of the top-level members, in HDF5's name order.
  std::vector<std::string> member_names() const;
  void remove(const std::string& name);
  // Gives the member `from` the name `to`, which must be free.
  void rename(const std::string& from, const std::string& to);

  // Flushes and closes, reporting failures; the destructor closes silently. A journaled file
  // commits here and throws the commit's failure as the OSError kind of its errno (ENOSPC, EIO...);
  // the file then holds its old content unless journal()->committed() says otherwise.
  void close();
  // Closes a journaled file without committing, keeping its old content.
  void abandon();

  // The journal session of a journaled file, or null; its outcome stays readable after close().
  const JournalSession* journal() const { return journal_.get(); }

 private:
  File(FileId id, std::string path, std::shared_ptr<JournalSession> journal = nullptr)
      : id_(std::move(id)), path_(std::move(path)), journal_(std::move(journal)) {}
  void abandon_if_open() noexcept;
  FileId id_;
  std::string path_;
  std::shared_ptr<JournalSession> journal_;
};

// The creation property list of every file this library creates.
PropListId file_creation_plist();

}  // namespace tessera_plus::h5
