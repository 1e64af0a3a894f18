// An HDF5 file driver that makes every read-write session of a file atomic. The session's writes
// stay in memory (reads see them); at close a rollback record of the bytes about to be overwritten
// is made durable beside the file, together with the file's signature replaced by one that HDF5
// does not recognise; the other writes are applied and made durable, the signature is put back
// (with no barrier of its own: a power cut that loses it leaves the new file whole but hidden until
// our next open shows it), and the record is removed (the steps and what a power cut leaves at each
// are listed at commit() in journal_driver.cc). Whatever stops the process or the machine, the file
// is its old or its new self: a half-applied file has a complete record, which the next journaled
// open of the file rolls back before HDF5 reads anything. Plain readers (h5py included) never roll
// back; they see the old file, the new one, or, while the file is half-applied, an error ("file
// signature not found"), never a mixture.
//
// The files are ordinary HDF5 files: the driver puts nothing of its own into them for longer than
// a commit or a rollback.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"
#include "tessera_plus/h5/journal_io.h"
#include "tessera_plus/h5/lock_wait.h"
#include "tessera_plus/h5/rollback_record.h"

namespace tessera_plus::h5 {

class CommitGroup;
struct JournalFile;

// One journaled open of a file and, after the close, its outcome. HDF5 cannot report a failed
// commit through H5Fclose (an error there leaves the file registered and crashes at exit), so the
// driver's close always succeeds and the caller must ask this object. Only the opening thread uses
// it.
class JournalSession {
 public:
  explicit JournalSession(std::optional<FaultPlan> faults = std::nullopt) : io_(faults) {}

  // How long the open waits for the file's lock while another process (a reader) holds it; no
  // wait when unset.
  void wait_for_lock(LockDeadline deadline) { lock_deadline_ = std::move(deadline); }
  const LockDeadline& lock_deadline() const { return lock_deadline_; }

  // The close hands the session's writes to `group` (which must outlive the close), and the
  // file stays open and locked until the group commits; the outcome is known then.
  void commit_with(CommitGroup& group) { group_ = &group; }
  CommitGroup* group() const { return group_; }

  // The close discards the session's writes instead of committing them.
  void abandon() { abandoned_ = true; }
  bool abandoned() const { return abandoned_; }

  // True once the driver has closed the file.
  bool finished() const { return finished_; }
  // 0 when the session ended as intended (committed, nothing to commit, read only, abandoned);
  // otherwise the errno of the first failure, after which the file was left or put back as it was,
  // except where committed() says that the new content is already in place.
  int error_number() const { return error_number_; }
  const std::string& error_text() const { return error_text_; }
  bool committed() const { return committed_; }

  // What the open found beside the file.
  Recovery recovery() const { return recovery_; }
  const IoCounts& io_counts() const { return io_.counts(); }
  std::size_t record_bytes() const { return record_bytes_; }

  // For the driver.
  JournalIo& io() { return io_; }
  void opened(Recovery found);
  void finish(bool committed, int error_number, std::string text, std::size_t record_bytes);

 private:
  JournalIo io_;
  LockDeadline lock_deadline_;
  CommitGroup* group_ = nullptr;
  bool abandoned_ = false;
  bool finished_ = false;
  bool committed_ = false;
  int error_number_ = 0;
  std::string error_text_;
  Recovery recovery_ = Recovery::kNone;
  std::size_t record_bytes_ = 0;
};

// The commits of several journaled sessions made at once: one barrier for all of their rollback
// records and hidden signatures, one for all of their new bytes, instead of two for each file.
// Each file is its old or its new self after a power cut at any point, by its own record, as when
// committed alone. The caller bounds a group (pending_files(), pending_bytes(): the sessions'
// writes stay in memory) and commits it before it reports any of its files as written. A file
// stays locked, as while it is written, from its close until the group commits; it is hidden from
// plain readers during the group's two barriers, as during its own commit's. Only the thread that
// opened the sessions uses it.
class CommitGroup {
 public:
  CommitGroup() = default;
  CommitGroup(const CommitGroup&) = delete;
  CommitGroup& operator=(const CommitGroup&) = delete;
  // Sessions still pending end abandoned: their files keep their old content.
  ~CommitGroup();

  std::size_t pending_files() const { return pending_.size(); }
  std::size_t pending_bytes() const { return pending_bytes_; }
  // Whether the file opened as `path` waits in the group for its commit.
  bool holds(const std::string& path) const;

  // How one file's commit ended: `error_number` 0 when it ended as intended.
  struct Outcome {
    std::string path;  // as the file was opened
    int error_number = 0;
    std::string error_text;
  };
  // The outcomes of the files committed since the last call, in commit order, so that a caller
  // that reports files only once they are durable learns each file's fate after any commit.
  std::vector<Outcome> take_outcomes();
  // The latest outcome of `path` not yet taken, or null.
  const Outcome* outcome_of(const std::string& path) const;

  // Commits every pending session; each session then holds its outcome, as after a close that
  // commits alone. Never throws.
  void commit();

  // For the driver.
  void adopt(JournalFile* file);

 private:
  std::vector<JournalFile*> pending_;
  std::size_t pending_bytes_ = 0;
  std::vector<Outcome> outcomes_;
};

// A file-access property list that opens files through the journal for `session`. A file can be
// open through the journal once per process at a time; a second open fails with errno EBUSY.
// Read-write opens hold an exclusive lock on the file for the whole session (whatever
// HDF5_USE_FILE_LOCKING says, because recovery relies on it); read-only opens a shared one unless
// the property list turns locking off. A lock held elsewhere is waited for as the session's
// lock_deadline() allows, then the open fails with EWOULDBLOCK. Any open that finds a pending
// record rolls it back first, which needs write access to the file even for a read-only open
// (PermissionError otherwise).
PropListId journal_access_plist(std::shared_ptr<JournalSession> session);

// Rolls back (or discards) a pending record of `path` without opening the file with HDF5, for
// tools that read with plain HDF5 afterwards. Throws OSError on failure: EWOULDBLOCK when another
// process has the file open for writing.
Recovery recover_journal(const std::string& path);

// Whether an interrupted commit left `path` unfinished: a rollback record beside it, or its
// signature hidden. Plain HDF5 must not read it until recover_journal() has finished the job.
bool has_unfinished_commit(const std::string& path);

}  // namespace tessera_plus::h5
