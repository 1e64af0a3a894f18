#include "tessera_plus/h5/journal_driver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/error_internal.h"
#include "tessera_plus/h5/signature_guard.h"
#include "tessera_plus/h5/write_overlay.h"

namespace tessera_plus::h5 {

// One file open through the journal; a CommitGroup holds it from its close until the group commits.
struct JournalFile {
  int fd = -1;
  std::string path;
  FileIdentity identity;
  bool writable = false;
  std::shared_ptr<JournalSession> session;
  haddr_t eoa = 0;
  std::uint64_t base_size = 0;  // the size on disk when the session began
  std::uint64_t cut = 0;        // bytes of the base at or beyond this read as zeros
  std::uint64_t eof = 0;        // the session's logical size
  bool dirty = false;
  WriteOverlay overlay;
  int failure = 0;  // the first failed I/O of the session; nothing is committed after one
  std::string failure_text;
};

namespace {

namespace fs = std::filesystem;
using State = JournalFile;

// As the plain POSIX driver: free-space managers record the address width, so another value would
// make the files differ from the plain driver's.
constexpr haddr_t kMaxAddress = (static_cast<haddr_t>(1) << 63) - 1;

// What the property list carries to the driver's open.
struct Config {
  std::shared_ptr<JournalSession> session;
};

// HDF5 allocates the public part; the C++ state hangs off it.
struct DriverFile {
  H5FD_t pub;
  State* state;
};

State& state_of(const H5FD_t* file) { return *reinterpret_cast<const DriverFile*>(file)->state; }

// Files open through the journal in this process, by identity. HDF5 opens a file a second time to
// find out whether it is open already; without this, the second open would wait on our own lock
// or build a second overlay of the same file.
std::mutex registry_mutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, State*> registry;

std::pair<std::uint64_t, std::uint64_t> key_of(const FileIdentity& id) {
  return {id.device, id.inode};
}

void push_error(const char* function, H5E_minor_t minor, int error_number,
                const std::string& what) {
  H5Epush2(H5E_DEFAULT, __FILE__, function, __LINE__, H5E_ERR_CLS, H5E_VFL, minor,
           "%s, errno = %d, error message = '%s'", what.c_str(), error_number,
           std::strerror(error_number));
}

// The session's error text; whoever throws it adds the errno's words.
std::string describe(const std::string& what, const std::string& path) { return what + " " + path; }

int lock(int fd, int operation, const LockDeadline& deadline = {}) {
  return lock_waiting(fd, operation, deadline);
}

// Rolls back a pending record under the exclusive lock. A read-only open borrows a second
// descriptor with write access for it.
int recover_pending(State& s, JournalIo& io, Recovery* found, std::string* what) {
  *found = Recovery::kNone;
  if (::access(rollback_path(s.path).c_str(), F_OK) != 0 && !is_hidden(s.fd)) return 0;
  int wfd = s.writable ? s.fd : ::open(s.path.c_str(), O_RDWR | O_CLOEXEC);
  if (wfd < 0) {
    *what = "a pending rollback record needs write access to";
    return errno;
  }
  int error = lock(wfd, LOCK_EX, s.session->lock_deadline());
  if (error) *what = "cannot lock";
  if (!error) {
    error = recover(wfd, s.path, io, found);
    if (error) *what = "cannot roll back the interrupted update of";
  }
  if (wfd != s.fd) ::close(wfd);
  return error;
}

bool locking_wanted(hid_t fapl) {
  hbool_t use = true;
  hbool_t ignore = false;
  if (H5Pget_file_locking(fapl, &use, &ignore) < 0) return true;
  return use;
}

// Opens, identifies, recovers and locks; 0 or an errno with `what` saying which step failed.
int open_state(State& s, unsigned flags, hid_t fapl, std::string* what) {
  int oflags = (s.writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  // Never O_TRUNC: a truncating create empties the file logically, and only the commit does so
  // for real.
  if (flags & H5F_ACC_CREAT) oflags |= O_CREAT;
  if (flags & H5F_ACC_EXCL) oflags |= O_EXCL;
  *what = "cannot open";
  s.fd = ::open(s.path.c_str(), oflags, 0666);
  if (s.fd < 0) return errno;
  struct stat st;
  if (::fstat(s.fd, &st) != 0) return errno;
  s.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  {
    std::lock_guard guard(registry_mutex);
    if (registry.count(key_of(s.identity))) {
      *what = "already open through the journal in this process:";
      return EBUSY;
    }
  }
  Recovery found = Recovery::kNone;
  if (int e = recover_pending(s, s.session->io(), &found, what)) return e;
  s.session->opened(found);
  if (s.writable || locking_wanted(fapl)) {
    *what = "cannot lock";
    if (int e = lock(s.fd, s.writable ? LOCK_EX : LOCK_SH, s.session->lock_deadline())) return e;
  }
  if (::fstat(s.fd, &st) != 0) return errno;
  s.base_size = static_cast<std::uint64_t>(st.st_size);
  s.cut = (flags & H5F_ACC_TRUNC) ? 0 : s.base_size;
  s.eof = s.cut;
  s.dirty = s.cut != s.base_size;
  return 0;
}

H5FD_t* driver_open(const char* name, unsigned flags, hid_t fapl, haddr_t maxaddr) {
  const auto* config = static_cast<const Config*>(H5Pget_driver_info(fapl));
  if (!config || !config->session) {
    push_error(__func__, H5E_CANTOPENFILE, EINVAL, "no journal session given for");
    return nullptr;
  }
  auto* state = new (std::nothrow) State;
  auto* file = static_cast<DriverFile*>(std::calloc(1, sizeof(DriverFile)));
  if (!state || !file) {
    delete state;
    std::free(file);
    push_error(__func__, H5E_CANTOPENFILE, ENOMEM, "cannot open");
    return nullptr;
  }
  state->path = name;
  state->writable = flags & H5F_ACC_RDWR;
  state->session = config->session;
  std::string what;
  if (int e = open_state(*state, flags, fapl, &what)) {
    push_error(__func__, H5E_CANTOPENFILE, e, what + " " + state->path);
    if (state->fd >= 0) ::close(state->fd);
    delete state;
    std::free(file);
    return nullptr;
  }
  {
    std::lock_guard guard(registry_mutex);
    registry[key_of(state->identity)] = state;
  }
  file->pub.maxaddr = maxaddr == HADDR_UNDEF || maxaddr == 0 ? kMaxAddress : maxaddr;
  file->state = state;
  return &file->pub;
}

// The session's view of the file's first bytes (the signature, when it is an HDF5 file), made
// part of the overlay so that the record saves the old ones and the commit knows the new ones
// even when the session did not write there. 0 or an errno.
int cover_signature(State& s, Signature* signature) {
  signature->fill(std::byte{0});
  std::uint64_t from_base = std::min<std::uint64_t>(kSignatureBytes, s.cut);
  if (from_base > 0 && pread_full(s.fd, signature->data(), from_base, 0) < 0) return errno;
  s.overlay.read_over(0, signature->data(), kSignatureBytes);
  s.overlay.write(0, signature->data(), kSignatureBytes);
  return 0;
}

// The rollback record of the commit: the old bytes of every range the commit overwrites or cuts.
int make_record(State& s, RollbackRecord* record) {
  record->commit_id = draw_commit_id();
  record->identity = s.identity;
  record->old_size = s.base_size;
  record->new_size = s.eof;
  record->cut_size = s.cut;
  std::uint64_t kept = std::min(s.cut, s.base_size);
  auto save = [&](std::uint64_t offset, std::uint64_t length) {
    SavedRange range{offset, std::vector<std::byte>(length)};
    ssize_t n = pread_full(s.fd, range.bytes.data(), length, static_cast<off_t>(offset));
    if (n < 0) return errno;
    record->ranges.push_back(std::move(range));
    return 0;
  };
  std::vector<std::byte> header(std::min<std::uint64_t>(s.base_size, kIdentityHeaderBytes));
  if (pread_full(s.fd, header.data(), header.size(), 0) < 0) return errno;
  record->header_crc = crc32c(header);
  // What the new file holds, so that recovery can tell it from a file the record was not made for.
  for (const auto& [offset, bytes] : s.overlay.extents()) {
    if (offset >= s.eof) break;
    const std::uint64_t length = std::min<std::uint64_t>(bytes.size(), s.eof - offset);
    record->new_extents.push_back({offset, length});
    const std::uint64_t skip =
        offset < kSignatureBytes ? std::min<std::uint64_t>(kSignatureBytes - offset, length) : 0;
    record->new_crc = crc32c(std::span(bytes).subspan(skip, length - skip), record->new_crc);
  }
  for (const auto& [offset, bytes] : s.overlay.extents()) {
    if (offset >= kept) break;
    if (int e = save(offset, std::min<std::uint64_t>(bytes.size(), kept - offset))) return e;
  }
  if (kept < s.base_size) {
    if (int e = save(kept, s.base_size - kept)) return e;
  }
  return 0;
}

// Whether the commit writes its bytes past the old end of the file in step 1 (see commit()),
// where the record's barrier makes them durable too, instead of in step 2. Those bytes are no part
// of the old file (its structures end before its end of file, and HDF5 ignores what lies beyond),
// so a power cut that keeps some of them without the record leaves the old file with a longer
// tail: value for value the old file to any HDF5 reader, and cut off by its next commit. Only for
// an old file that is an HDF5 file (a tail would make anything else another file), and not when
// the commit cuts the file (the cut comes first in step 2 and would drop them). Step 2 then only
// overwrites blocks the file has, which the file system makes durable without a journal commit of
// its own.
bool grows_with_record(const State& s, bool guarded) {
  if (!guarded || s.cut < s.base_size || s.eof <= s.base_size) return false;
  if (s.base_size < kSignatureBytes) return false;
  Signature first{};
  return pread_full(s.fd, first.data(), kSignatureBytes, 0) ==
             static_cast<ssize_t>(kSignatureBytes) &&
         first == kHdf5Signature;
}

// Writes the overlay's bytes at offsets in [from, to), the signature left to show_to_readers when
// `guarded`. Returns 0 or an errno.
int write_extents(State& s, std::uint64_t from, std::uint64_t to, bool guarded, JournalIo& io) {
  for (const auto& [offset, bytes] : s.overlay.extents()) {
    const std::uint64_t begin = std::max<std::uint64_t>(offset, from);
    const std::uint64_t end = std::min<std::uint64_t>(offset + bytes.size(), to);
    if (begin >= end) continue;
    const std::byte* data = bytes.data() + (begin - offset);
    int e = guarded ? pwrite_past_signature(s.fd, data, end - begin, begin, io)
                    : io.pwrite_all(s.fd, data, end - begin, static_cast<off_t>(begin));
    if (e) return e;
  }
  return 0;
}

// One file's commit: what it needs from prepare() on, and how it ends.
struct Commit {
  State* s = nullptr;
  bool guarded = false;
  bool grow = false;
  Signature signature{};
  RollbackRecord record;
  std::string record_path;
  int record_fd = -1;
  bool recorded = false;  // the record may exist: a failure from here on rolls back
  bool applied = false;
  int error = 0;
  std::string what;
  std::size_t record_bytes = 0;

  JournalIo& io() const { return s->session->io(); }
  void fail(int e) {
    error = e;
    // Put the old content back now; if that fails too, the record stays for the next open.
    if (recorded) roll_back(s->fd, s->path, record, io());
  }
  void close_record() {
    if (record_fd >= 0) ::close(record_fd);
    record_fd = -1;
  }
};

// Step 1 of the commit (see commit_all()), without its barrier: the record written beside the
// file and, when guarded, the hiding signature into the file, and with `grow` the bytes past the
// file's old end and its new size.
int prepare(Commit& c) {
  State& s = *c.s;
  JournalIo& io = c.io();
  c.what = "cannot read the old content of";
  // Files shorter than a signature are no HDF5 files for readers to misread.
  c.guarded = s.eof >= kSignatureBytes;
  if (c.guarded) {
    if (int e = cover_signature(s, &c.signature)) return e;
  }
  if (int e = make_record(s, &c.record)) return e;
  std::vector<std::byte> encoded = encode(c.record);
  c.record_bytes = encoded.size();
  c.record_path = rollback_path(s.path);
  c.grow = grows_with_record(s, c.guarded);
  c.what = "cannot write the rollback record of";
  // The record holds the file's old bytes: it is no more readable than the file, and a link put
  // in its place is refused rather than followed to write elsewhere.
  struct stat file_stat {};
  const mode_t mode = ::fstat(s.fd, &file_stat) == 0 ? (file_stat.st_mode & 0666) : 0600;
  c.record_fd =
      ::open(c.record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (c.record_fd < 0) return errno;
  // Nothing but the signature and the tail changes before the barrier; the rollback puts the
  // signature back, cuts the tail and removes the record.
  c.recorded = true;
  if (int e = io.pwrite_all(c.record_fd, encoded.data(), encoded.size(), 0)) return e;
  if (c.guarded) {
    const Signature hiding = hidden_signature(c.record.commit_id);
    if (int e = io.pwrite_all(s.fd, hiding.data(), kSignatureBytes, 0)) return e;
  }
  if (c.grow) {
    if (int e = write_extents(s, s.base_size, s.eof, c.guarded, io)) return e;
    if (int e = io.ftruncate(s.fd, static_cast<off_t>(s.eof))) return e;
  }
  return 0;
}

// The barrier of step 1: the record's bytes and size (fdatasync covers both), the hidden file, and
// the record's name (its directory's fsync, unless `sync_directory` is false because another file
// of the group in the same directory makes it).
int sync_record(Commit& c, bool sync_directory) {
  const std::array<int, 2> files = {c.record_fd, c.s->fd};
  const int error = c.io().sync_together(std::span(files).first(c.guarded ? 2 : 1),
                                         sync_directory ? c.record_path : std::string());
  c.close_record();
  return error;
}

// Step 2 without its barrier: everything but the signature (and what step 1 wrote with `grow`).
int apply(Commit& c) {
  State& s = *c.s;
  JournalIo& io = c.io();
  c.what = "cannot apply the update to";
  // A cut below the signature would drop the hiding one; the overlay holds those bytes anyway.
  std::uint64_t floor = c.guarded ? kSignatureBytes : 0;
  if (s.cut < s.base_size) {
    if (int e = io.ftruncate(s.fd, static_cast<off_t>(std::max(s.cut, floor)))) return e;
  }
  const std::uint64_t to = c.grow ? s.base_size : std::numeric_limits<std::uint64_t>::max();
  if (int e = write_extents(s, 0, to, c.guarded, io)) return e;
  if (!c.grow) {
    if (int e = io.ftruncate(s.fd, static_cast<off_t>(s.eof))) return e;
  }
  return 0;
}

// Steps 3 and 4. No barrier after the signature: a power cut that loses it leaves the new file
// whole but hidden, which a plain reader cannot open (never misreads) and the next recovery shows
// again. It saves one of the commit's barriers on every file of a nightly update.
int show_and_forget(Commit& c) {
  JournalIo& io = c.io();
  if (c.guarded) {
    if (int e = show_to_readers(c.s->fd, c.signature, io, Barrier::kNone)) return e;
  }
  return io.unlink(c.record_path);
}

// Runs `step` for every commit still going, each on a thread of its own when there are several
// and none has a fault plan (whose calls must keep one order), so that their barriers are waited
// for together. A step's failure ends that commit alone.
void for_each_live(std::vector<Commit>& commits, const std::function<int(Commit&)>& step) {
  std::vector<Commit*> live;
  bool planned = false;
  for (Commit& c : commits) {
    if (c.error) continue;
    live.push_back(&c);
    planned = planned || c.io().planned();
  }
  std::vector<int> errors(live.size(), 0);
  std::vector<std::thread> threads;
  std::size_t inline_from = 0;
  if (live.size() > 1 && !planned) {
    try {
      for (; inline_from < live.size(); ++inline_from) {
        threads.emplace_back([&, i = inline_from] { errors[i] = step(*live[i]); });
      }
    } catch (const std::system_error&) {
      // No thread to spare: the rest waits its turn on this one.
    }
  }
  for (std::size_t i = inline_from; i < live.size(); ++i) errors[i] = step(*live[i]);
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < live.size(); ++i) {
    if (errors[i]) live[i]->fail(errors[i]);
  }
}

// The commit proper, of one file or of several at once. Each file's outcome is in its Commit:
// `error` 0 or an errno, and `applied` whether the file holds the new content. Its steps, each
// finished by a barrier (shared by all the files) before the next begins, and what a power cut
// during each leaves in each file:
//   1. The record written beside the file and the file's signature replaced by the hiding
//      signature that carries the record's commit id (a growing HDF5 file also gets its bytes past
//      its old end and its new size, see grows_with_record()); all made durable, the record's
//      directory entry too. Cut: the file is old, perhaps hidden, perhaps with a longer tail that
//      no HDF5 reader looks at; the record is missing, incomplete or complete. Recovery rolls a
//      file hidden by this record back, drops a record beside the shown old file, and shows a
//      hidden file without its complete record again (see recover()).
//   2. Every other byte written, the size set, made durable. Cut: any mixture of old and new bytes,
//      hidden by the record's id from plain readers (their open fails); the record is complete and
//      rolls it back.
//   3. The new signature written, with no barrier of its own. Cut: the new file, hidden or not;
//      the record rolls a hidden one back to the old one, which is as whole; a shown one keeps its
//      new content and the record is dropped; without the record (step 4 reached the disk)
//      recovery shows the hidden file again.
//   4. The record removed. Cut: the new file, with or without its record (see below).
// A file whose signature is shown is whole, so a plain reader sees the old file, the new one, or
// an error, in every state a power cut can leave, and recovery never writes over a shown file. The
// files of a group depend on one another in nothing: each is old or new by its own record,
// whatever the others' state.
//
// Removing the record is the commit point, and its directory is not fsynced after it: the new
// content is durable by now, so if a power cut loses the removal, the complete record comes back
// beside the shown new file, which holds every new byte the record names, and recovery drops it.
// A later commit of this file makes the directory durable before it touches the file (but for its
// signature and its tail), so a record comes back only beside a file hidden by another commit id,
// which is whole and is shown again.
void commit_all(std::vector<Commit>& commits) {
  for (Commit& c : commits) {
    if (int e = prepare(c)) c.fail(e);
  }
  std::set<std::string> directories;
  std::vector<bool> syncs_directory;
  for (Commit& c : commits) {
    const std::string directory = fs::path(c.s->path).parent_path().string();
    syncs_directory.push_back(c.error == 0 && directories.insert(directory).second);
  }
  for_each_live(commits, [&](Commit& c) {
    return sync_record(c, syncs_directory[static_cast<std::size_t>(&c - commits.data())]);
  });
  // The records of a directory whose sync failed may not be there after a power cut.
  for (std::size_t i = 0; i < commits.size(); ++i) {
    if (!syncs_directory[i] || commits[i].error == 0) continue;
    const fs::path directory = fs::path(commits[i].s->path).parent_path();
    for (Commit& c : commits) {
      if (c.error == 0 && fs::path(c.s->path).parent_path() == directory) c.fail(commits[i].error);
    }
  }
  for (Commit& c : commits) {
    c.close_record();
    if (c.error) continue;
    if (int e = apply(c)) c.fail(e);
  }
  // The file's timestamps are not part of its content; its size is, and fdatasync covers it.
  for_each_live(commits, [](Commit& c) { return c.io().fdatasync(c.s->fd); });
  for (Commit& c : commits) {
    if (c.error) continue;
    if (int e = show_and_forget(c)) {
      c.fail(e);
      continue;
    }
    c.applied = true;
  }
}

// Whether closing `s` has anything to commit.
bool wants_commit(const State& s) {
  return s.writable && !s.session->abandoned() && s.dirty && s.failure == 0;
}

void finish_commits(std::vector<Commit>& commits) {
  for (Commit& c : commits) {
    c.s->session->finish(c.applied, c.error, c.error ? describe(c.what, c.s->path) : std::string(),
                         c.record_bytes);
  }
}

void finish_session(State& s) {
  JournalSession& session = *s.session;
  if (!s.writable || session.abandoned() || (!s.dirty && s.failure == 0)) {
    session.finish(false, 0, {}, 0);
    return;
  }
  if (s.failure) {
    session.finish(false, s.failure, s.failure_text, 0);
    return;
  }
  std::vector<Commit> commits(1);
  commits[0].s = &s;
  commit_all(commits);
  finish_commits(commits);
}

// Closes the descriptor (which releases the lock) and forgets the file.
void release(State* s) {
  {
    std::lock_guard guard(registry_mutex);
    auto it = registry.find(key_of(s->identity));
    if (it != registry.end() && it->second == s) registry.erase(it);
  }
  ::close(s->fd);
  delete s;
}

// Never fails: HDF5 keeps a file whose close failed registered and crashes at exit. The outcome
// goes to the session.
herr_t driver_close(H5FD_t* file) {
  State* s = &state_of(file);
  std::free(file);
  // A file of a group stays open, locked and registered until the group commits.
  if (CommitGroup* group = s->session->group(); group && wants_commit(*s)) {
    group->adopt(s);
    return 0;
  }
  finish_session(*s);
  release(s);
  return 0;
}

int driver_cmp(const H5FD_t* a, const H5FD_t* b) {
  auto ka = key_of(state_of(a).identity);
  auto kb = key_of(state_of(b).identity);
  return ka < kb ? -1 : kb < ka ? 1 : 0;
}

herr_t driver_query(const H5FD_t*, unsigned long* flags) {
  // Not POSIX_COMPAT_HANDLE (the descriptor does not show the session's writes) and not SWMR.
  *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
           H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
  return 0;
}

haddr_t driver_get_eoa(const H5FD_t* file, H5FD_mem_t) { return state_of(file).eoa; }

herr_t driver_set_eoa(H5FD_t* file, H5FD_mem_t, haddr_t addr) {
  state_of(file).eoa = addr;
  return 0;
}

haddr_t driver_get_eof(const H5FD_t* file, H5FD_mem_t) { return state_of(file).eof; }

herr_t driver_get_handle(H5FD_t* file, hid_t, void** handle) {
  *handle = &state_of(file).fd;
  return 0;
}

herr_t driver_read(H5FD_t* file, H5FD_mem_t, hid_t, haddr_t addr, size_t size, void* buffer) {
  State& s = state_of(file);
  auto* out = static_cast<std::byte*>(buffer);
  if (addr == HADDR_UNDEF || addr + size > s.eoa) {
    push_error(__func__, H5E_OVERFLOW, EINVAL, "read beyond the allocated end of " + s.path);
    return -1;
  }
  std::memset(out, 0, size);
  std::uint64_t base_end = std::min<std::uint64_t>(addr + size, s.cut);
  if (addr < base_end) {
    if (pread_full(s.fd, out, base_end - addr, static_cast<off_t>(addr)) < 0) {
      if (s.failure == 0) {
        s.failure = errno;
        s.failure_text = describe("cannot read", s.path);
      }
      push_error(__func__, H5E_READERROR, s.failure, "cannot read " + s.path);
      return -1;
    }
  }
  s.overlay.read_over(addr, out, size);
  return 0;
}

herr_t driver_write(H5FD_t* file, H5FD_mem_t, hid_t, haddr_t addr, size_t size,
                    const void* buffer) {
  State& s = state_of(file);
  if (addr == HADDR_UNDEF || addr + size > s.eoa) {
    push_error(__func__, H5E_OVERFLOW, EINVAL, "write beyond the allocated end of " + s.path);
    return -1;
  }
  try {
    s.overlay.write(addr, static_cast<const std::byte*>(buffer), size);
  } catch (const std::bad_alloc&) {
    if (s.failure == 0) s.failure = ENOMEM;
    push_error(__func__, H5E_WRITEERROR, ENOMEM, "cannot keep a write to " + s.path);
    return -1;
  }
  s.eof = std::max<std::uint64_t>(s.eof, addr + size);
  s.dirty = true;
  return 0;
}

herr_t driver_flush(H5FD_t*, hid_t, hbool_t) {
  // Nothing reaches the file before the close: a flushed state is no safe point to resume from.
  return 0;
}

// HDF5 sets the file to its allocated end at every flush, shrinking it as well as growing it.
herr_t driver_truncate(H5FD_t* file, hid_t, hbool_t) {
  State& s = state_of(file);
  if (s.eoa == s.eof) return 0;
  if (s.eoa < s.eof) {
    s.overlay.cut(s.eoa);
    s.cut = std::min<std::uint64_t>(s.cut, s.eoa);
  }
  s.eof = s.eoa;
  s.dirty = true;
  return 0;
}

void* driver_fapl_get(H5FD_t* file) { return new (std::nothrow) Config{state_of(file).session}; }

void* driver_fapl_copy(const void* info) {
  return new (std::nothrow) Config(*static_cast<const Config*>(info));
}

herr_t driver_fapl_free(void* info) {
  delete static_cast<Config*>(info);
  return 0;
}

const H5FD_class_t kJournalClass = {
    "tessera_journal", kMaxAddress,      H5F_CLOSE_WEAK,   nullptr,
    nullptr,           nullptr,          nullptr,          sizeof(Config),
    driver_fapl_get,   driver_fapl_copy, driver_fapl_free, 0,
    nullptr,           nullptr,          driver_open,      driver_close,
    driver_cmp,        driver_query,     nullptr,          nullptr,
    nullptr,           driver_get_eoa,   driver_set_eoa,   driver_get_eof,
    driver_get_handle, driver_read,      driver_write,     driver_flush,
    driver_truncate,   nullptr,          nullptr,          H5FD_FLMAP_DICHOTOMY,
};

hid_t driver_id() {
  // HDF5 forgets registered drivers when the library is closed and opened again.
  static hid_t id = H5I_INVALID_HID;
  if (id < 0 || H5Iis_valid(id) <= 0) {
    id = check_id(H5FDregister(&kJournalClass), "registering the journal file driver");
  }
  return id;
}

}  // namespace

void JournalSession::opened(Recovery found) {
  recovery_ = found;
  finished_ = false;
}

void JournalSession::finish(bool committed, int error_number, std::string text,
                            std::size_t record_bytes) {
  finished_ = true;
  committed_ = committed;
  error_number_ = error_number;
  error_text_ = std::move(text);
  record_bytes_ = record_bytes;
}

CommitGroup::~CommitGroup() {
  for (JournalFile* s : pending_) {
    s->session->finish(false, 0, {}, 0);
    release(s);
  }
}

void CommitGroup::adopt(JournalFile* file) {
  for (const auto& [offset, bytes] : file->overlay.extents()) pending_bytes_ += bytes.size();
  pending_.push_back(file);
}

void CommitGroup::commit() {
  std::vector<Commit> commits(pending_.size());
  for (std::size_t i = 0; i < pending_.size(); ++i) commits[i].s = pending_[i];
  pending_.clear();
  pending_bytes_ = 0;
  commit_all(commits);
  finish_commits(commits);
  for (Commit& c : commits) {
    const JournalSession& session = *c.s->session;
    outcomes_.push_back({c.s->path, session.error_number(), session.error_text()});
    release(c.s);
  }
}

bool CommitGroup::holds(const std::string& path) const {
  return std::any_of(pending_.begin(), pending_.end(),
                     [&](const JournalFile* s) { return s->path == path; });
}

const CommitGroup::Outcome* CommitGroup::outcome_of(const std::string& path) const {
  for (auto it = outcomes_.rbegin(); it != outcomes_.rend(); ++it) {
    if (it->path == path) return &*it;
  }
  return nullptr;
}

std::vector<CommitGroup::Outcome> CommitGroup::take_outcomes() {
  return std::exchange(outcomes_, {});
}

PropListId journal_access_plist(std::shared_ptr<JournalSession> session) {
  ensure_initialized();
  PropListId fapl(check_id(H5Pcreate(H5P_FILE_ACCESS), "creating file access properties"));
  Config config{std::move(session)};
  check(H5Pset_driver(fapl.get(), driver_id(), &config), "selecting the journal file driver");
  return fapl;
}

bool has_unfinished_commit(const std::string& path) {
  return ::access(rollback_path(path).c_str(), F_OK) == 0 || is_hidden(path);
}

Recovery recover_journal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Recovery::kNone;
    throw_os_error(errno, "cannot open " + path + " to recover it");
  }
  JournalIo io;
  Recovery found = Recovery::kNone;
  int error = lock(fd, LOCK_EX);
  if (!error) error = recover(fd, path, io, &found);
  ::close(fd);
  if (error) throw_os_error(error, describe("cannot recover", path));
  return found;
}

}  // namespace tessera_plus::h5
