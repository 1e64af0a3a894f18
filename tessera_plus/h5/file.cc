#include "tessera_plus/h5/file.h"

#include <sys/stat.h>

#include <cerrno>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/regular_file.h"
#include "tessera_plus/h5/error_internal.h"
#include "tessera_plus/h5/journal_driver.h"

namespace tessera_plus::h5 {
namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A record beside the file, or a hidden signature, means that a commit was interrupted: until it
// is rolled back (or shown, when whole) the bytes on disk may be half old, half new, so plain HDF5
// must not read them. Recovery needs write access and the file's lock; a reader that has neither
// cannot read the file yet.
void recover_before_reading(const std::string& path) {
  if (!has_unfinished_commit(path)) return;
  try {
    recover_journal(path);
  } catch (const OSError& e) {
    raise_os_error(
        e.error_number() == EACCES || e.error_number() == EPERM ? EAGAIN : e.error_number(),
        "cannot read " + path +
            " yet: an interrupted update left it unfinished (a rollback record beside it, or "
            "its HDF5 signature hidden), which the next update (or a reader with write access) "
            "puts right\n" +
            e.what());
  }
}

// A file is open through the journal once at a time: its pending commit goes first, with the rest
// of the group's, and a new session must not build on writes that never landed.
void commit_before_reopen(CommitGroup& group, const std::string& path) {
  group.commit();
  const CommitGroup::Outcome* outcome = group.outcome_of(path);
  if (outcome && outcome->error_number != 0) {
    throw_os_error(outcome->error_number, outcome->error_text);
  }
}

herr_t collect_name(hid_t, const char* name, const H5L_info_t*, void* data) {
  static_cast<std::vector<std::string>*>(data)->emplace_back(name);
  return 0;
}

}  // namespace

PropListId file_creation_plist() {
  ensure_initialized();
  PropListId fcpl(check_id(H5Pcreate(H5P_FILE_CREATE), "creating file properties"));
  check(H5Pset_file_space_strategy(fcpl.get(), H5F_FSPACE_STRATEGY_FSM_AGGR, 1, 1),
        "setting the file-space strategy");
  return fcpl;
}

File File::open(const std::string& path, Mode mode) {
  ensure_initialized();
  // HDF5 would open a FIFO and wait forever for its superblock.
  require_regular_file_if_present(path);
  const std::string action = "cannot open HDF5 file " + path;
  if (mode == Mode::kReadOnly) recover_before_reading(path);
  if (mode == Mode::kReadOnly || (mode == Mode::kAppend && exists(path))) {
    unsigned flags = mode == Mode::kReadOnly ? H5F_ACC_RDONLY : H5F_ACC_RDWR;
    return File(FileId(check_id(H5Fopen(path.c_str(), flags, H5P_DEFAULT), action.c_str())), path);
  }
  PropListId fcpl = file_creation_plist();
  return File(FileId(check_id(H5Fcreate(path.c_str(), H5F_ACC_EXCL, fcpl.get(), H5P_DEFAULT),
                              ("cannot create HDF5 file " + path).c_str())),
              path);
}

File File::open_journaled(const std::string& path, Mode mode, std::optional<FaultPlan> faults,
                          LockDeadline lock_deadline, CommitGroup* group) {
  ensure_initialized();
  require_regular_file_if_present(path);
  if (group && group->holds(path)) commit_before_reopen(*group, path);
  auto session = std::make_shared<JournalSession>(faults);
  session->wait_for_lock(std::move(lock_deadline));
  if (group) session->commit_with(*group);
  PropListId fapl = journal_access_plist(session);
  // A strong close closes the datasets still open too, so the commit happens in close() and its
  // outcome is known there, never later in some dataset's destructor.
  check(H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG), "setting the file close degree");
  if (mode == Mode::kReadOnly || (mode == Mode::kAppend && exists(path))) {
    unsigned flags = mode == Mode::kReadOnly ? H5F_ACC_RDONLY : H5F_ACC_RDWR;
    return File(FileId(check_id(H5Fopen(path.c_str(), flags, fapl.get()),
                                ("cannot open HDF5 file " + path).c_str())),
                path, std::move(session));
  }
  PropListId fcpl = file_creation_plist();
  return File(FileId(check_id(H5Fcreate(path.c_str(), H5F_ACC_EXCL, fcpl.get(), fapl.get()),
                              ("cannot create HDF5 file " + path).c_str())),
              path, std::move(session));
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    abandon_if_open();
    id_ = std::move(other.id_);
    path_ = std::move(other.path_);
    journal_ = std::move(other.journal_);
  }
  return *this;
}

File::~File() { abandon_if_open(); }

void File::abandon_if_open() noexcept {
  if (journal_ && id_.valid()) journal_->abandon();
}

bool File::has(const std::string& name) const {
  return check_tri(H5Lexists(id_.get(), name.c_str(), H5P_DEFAULT),
                   "looking up a member of an HDF5 file") > 0;
}

bool File::member_is_hard_link(const std::string& name) const {
  if (!has(name)) throw KeyError("the HDF5 file " + path_ + " has no member '" + name + "'");
  H5L_info_t info;
  check(H5Lget_info(id_.get(), name.c_str(), &info, H5P_DEFAULT), "inspecting a member's link");
  return info.type == H5L_TYPE_HARD;
}

std::vector<std::string> File::member_names() const {
  std::vector<std::string> names;
  hsize_t index = 0;
  check(H5Literate(id_.get(), H5_INDEX_NAME, H5_ITER_INC, &index, collect_name, &names),
        "listing the members of an HDF5 file");
  return names;
}

void File::remove(const std::string& name) {
  check(H5Ldelete(id_.get(), name.c_str(), H5P_DEFAULT), "deleting a member of an HDF5 file");
}

void File::rename(const std::string& from, const std::string& to) {
  check(H5Lmove(id_.get(), from.c_str(), id_.get(), to.c_str(), H5P_DEFAULT, H5P_DEFAULT),
        "renaming a member of an HDF5 file");
}

void File::close() {
  if (!id_.valid()) return;
  if (journal_) {
    // The flush only moves HDF5's caches into the journal's memory, but it decides where the
    // free-space information lands, so it keeps the file byte for byte what the plain driver
    // makes.
    check(H5Fflush(id_.get(), H5F_SCOPE_LOCAL), "flushing an HDF5 file");
    id_.close();
    if (journal_->error_number() != 0) {
      throw_os_error(journal_->error_number(), journal_->error_text());
    }
    return;
  }
  // The flush reports a failed write here even while datasets still keep the file open; a file
  // opened read-only has nothing to write.
  unsigned intent = 0;
  check(H5Fget_intent(id_.get(), &intent), "reading an HDF5 file's open mode");
  if (intent & H5F_ACC_RDWR) check(H5Fflush(id_.get(), H5F_SCOPE_LOCAL), "flushing an HDF5 file");
  id_.close();
}

void File::abandon() {
  if (!id_.valid()) return;
  if (journal_) journal_->abandon();
  id_.reset();
}

}  // namespace tessera_plus::h5
