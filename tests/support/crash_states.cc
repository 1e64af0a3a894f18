#include "tests/support/crash_states.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/journal_driver.h"
#include "tessera_plus/h5/plain_values.h"
#include "tessera_plus/h5/rollback_record.h"
#include "tessera_plus/h5/signature_guard.h"
#include "tests/support/temp_dir.h"

// GCC says __SANITIZE_ADDRESS__, Clang __has_feature(address_sanitizer).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TP_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef TP_HAS_ADDRESS_SANITIZER
#define TP_HAS_ADDRESS_SANITIZER 0
#endif

namespace tessera_plus::testing {
namespace {

namespace fs = std::filesystem;
using Kind = ModelOp::Kind;

constexpr int kRandomSubsetsPerFile = 16;
constexpr int kJointRandomStates = 8;
constexpr std::size_t kAllUnitSubsetsUpTo = 6;  // pending directory changes
constexpr int kExamplesPerCheck = 3;

bool is_record(const std::string& name) { return name.ends_with(".rollback"); }
bool is_temp(const std::string& name) {
  std::string base = fs::path(name).filename().string();
  return base.starts_with('.') && base.find(".tmp-") != std::string::npos;
}
bool is_checked(const std::string& name) { return !is_record(name) && !is_temp(name); }
bool is_h5(const std::string& name) { return name.ends_with(".h5"); }

// A write reaches the disk page by page, so each page of it may or may not have: the unit of the
// subsets. A truncation is one piece.
constexpr std::uint64_t kPage = 4096;

struct Piece {
  const ModelOp* op;
  std::size_t begin = 0;  // of op->bytes
  std::size_t end = 0;
};

void apply_data(std::string& content, const Piece& piece) {
  const ModelOp& op = *piece.op;
  if (op.kind == Kind::kTruncate) {
    content.resize(op.offset, '\0');
    return;
  }
  std::uint64_t at = op.offset + piece.begin;
  std::size_t size = piece.end - piece.begin;
  if (content.size() < at + size) content.resize(at + size);
  content.replace(at, size, op.bytes, piece.begin, size);
}

void add_pieces(const ModelOp& op, std::vector<Piece>& pieces) {
  if (op.kind == Kind::kTruncate || op.bytes.empty()) {
    pieces.push_back({&op, 0, op.bytes.size()});
    return;
  }
  for (std::size_t begin = 0; begin < op.bytes.size();) {
    std::size_t end = std::min<std::size_t>(
        op.bytes.size(), (op.offset + begin) / kPage * kPage + kPage - op.offset);
    pieces.push_back({&op, begin, end});
    begin = end;
  }
}

void apply_unit(std::map<std::string, int>& names, const ModelOp& op) {
  if (op.kind == Kind::kLink) {
    names[op.name] = op.inode;
    if (!op.from.empty()) names.erase(op.from);
    return;
  }
  auto it = names.find(op.name);
  if (it != names.end() && it->second == op.inode) names.erase(it);
}

// What the disk holds at one crash point: the durable part, and what may or may not have reached
// it since.
struct CrashPoint {
  std::map<std::string, int> names;
  std::vector<std::string> durable;         // by inode
  std::vector<std::vector<Piece>> pending;  // by inode: pieces of writes and truncations
  std::vector<const ModelOp*> units;        // links and unlinks

  void step(const ModelOp& op) {
    if (op.inode >= static_cast<int>(durable.size())) {
      durable.resize(static_cast<std::size_t>(op.inode) + 1);
      pending.resize(durable.size());
    }
    switch (op.kind) {
      case Kind::kWrite:
      case Kind::kTruncate:
        add_pieces(op, pending[op.inode]);
        break;
      case Kind::kSyncFile:
        for (const Piece& p : pending[op.inode]) apply_data(durable[op.inode], p);
        pending[op.inode].clear();
        break;
      case Kind::kLink:
      case Kind::kUnlink:
        units.push_back(&op);
        break;
      case Kind::kSyncDir:
        std::erase_if(units, [&](const ModelOp* u) {
          if (u->dir != op.dir) return false;
          apply_unit(names, *u);
          return true;
        });
        break;
    }
  }
};

// Which of the pending operations reach the disk: per inode a mask over its pending writes (all
// of them for an inode not listed), and a mask over the pending directory changes.
struct Choice {
  std::map<int, std::vector<bool>> data;
  std::vector<bool> units;
};

struct State {
  DiskFiles files;
  std::map<std::string, int> inodes;
};

State build(const CrashPoint& point, const Choice& choice) {
  State state;
  state.inodes = point.names;
  for (std::size_t i = 0; i < point.units.size(); ++i) {
    if (choice.units[i]) apply_unit(state.inodes, *point.units[i]);
  }
  for (const auto& [name, inode] : state.inodes) {
    std::string content = point.durable[inode];
    auto mask = choice.data.find(inode);
    const auto& ops = point.pending[inode];
    for (std::size_t j = 0; j < ops.size(); ++j) {
      if (mask == choice.data.end() || mask->second[j]) apply_data(content, ops[j]);
    }
    state.files[name] = std::move(content);
  }
  return state;
}

std::vector<bool> prefix(std::size_t size, std::size_t kept) {
  std::vector<bool> mask(size, false);
  std::fill_n(mask.begin(), kept, true);
  return mask;
}

std::vector<bool> random_mask(std::size_t size, std::mt19937& rng) {
  std::vector<bool> mask(size);
  for (std::size_t i = 0; i < size; ++i) mask[i] = rng() & 1;
  return mask;
}

std::vector<Choice> choices_at(const CrashPoint& point, std::mt19937& rng) {
  std::vector<int> files;
  for (std::size_t i = 0; i < point.pending.size(); ++i) {
    if (!point.pending[i].empty()) files.push_back(static_cast<int>(i));
  }
  const std::size_t units = point.units.size();
  const std::vector<bool> all_units(units, true);
  const std::vector<bool> no_units(units, false);
  Choice none{{}, no_units};
  for (int f : files) none.data[f] = std::vector<bool>(point.pending[f].size(), false);
  std::vector<Choice> out = {none, {{}, all_units}, {none.data, all_units}, {{}, no_units}};
  for (int f : files) {
    std::size_t n = point.pending[f].size();
    for (std::size_t kept = 0; kept < n; ++kept) {
      out.push_back({{{f, prefix(n, kept)}}, all_units});
      out.push_back({{{f, prefix(n, kept)}}, no_units});
    }
    for (int r = 0; r < kRandomSubsetsPerFile && n > 1; ++r) {
      out.push_back({{{f, random_mask(n, rng)}}, all_units});
    }
  }
  if (units <= kAllUnitSubsetsUpTo) {
    for (std::size_t bits = 0; bits < (std::size_t{1} << units); ++bits) {
      std::vector<bool> mask(units);
      for (std::size_t i = 0; i < units; ++i) mask[i] = (bits >> i) & 1;
      out.push_back({{}, mask});
      out.push_back({none.data, mask});
    }
  } else {
    for (std::size_t kept = 0; kept <= units; ++kept) out.push_back({{}, prefix(units, kept)});
    for (int r = 0; r < kRandomSubsetsPerFile; ++r) out.push_back({{}, random_mask(units, rng)});
  }
  for (int r = 0; r < kJointRandomStates; ++r) {
    Choice joint{{}, random_mask(units, rng)};
    for (int f : files) joint.data[f] = random_mask(point.pending[f].size(), rng);
    out.push_back(std::move(joint));
  }
  return out;
}

// Which pending pieces a state kept, for the failure messages.
std::string describe(const CrashPoint& point, const Choice& choice) {
  auto kept = [](const std::vector<bool>& mask) {
    return std::to_string(std::count(mask.begin(), mask.end(), true)) + "/" +
           std::to_string(mask.size());
  };
  std::string out;
  for (std::size_t i = 0; i < point.pending.size(); ++i) {
    if (point.pending[i].empty()) continue;
    auto mask = choice.data.find(static_cast<int>(i));
    out += "; inode " + std::to_string(i) + " kept " +
           (mask == choice.data.end() ? "all " + std::to_string(point.pending[i].size())
                                      : kept(mask->second)) +
           " pending pieces";
  }
  if (!choice.units.empty()) out += "; " + kept(choice.units) + " pending directory changes";
  return out;
}

// What plain HDF5 reads of `file` (`*values`, nothing when it fails to open or read it), in a
// child process: HDF5 overflows its buffers or crashes on some damaged files, which must cost
// that one read only. False when the reader died.
bool plain_values_apart(const fs::path& file, std::optional<std::string>* values) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::close(pipe_fds[0]);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);  // a sanitizer's report of HDF5's overflow
    std::string out = "e";
    try {
      out = "v" + h5::plain_values(file.string());
    } catch (const Error&) {
    }
    for (std::size_t done = 0; done < out.size();) {
      ssize_t n = ::write(pipe_fds[1], out.data() + done, out.size() - done);
      if (n <= 0) ::_exit(2);
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return false;
  if (text[0] == 'v') *values = text.substr(1);
  return true;
}

std::size_t fingerprint(const DiskFiles& files) {
  std::size_t h = 0;
  for (const auto& [name, content] : files) {
    h = h * 1000003 ^ std::hash<std::string>{}(name);
    h = h * 1000003 ^ std::hash<std::string>{}(content);
  }
  return h;
}

void write_bytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// The record identity's device, where the record still has one.
template <typename Identity>
bool same_device(const Identity& id, std::uint64_t device) {
  if constexpr (requires { id.device; }) {
    return id.device == device;
  } else {
    return true;
  }
}

template <typename Identity>
void set_device(Identity& id, std::uint64_t device) {
  if constexpr (requires { id.device; }) id.device = device;
}

// A plain reader of every file whose bytes match no version: one h5py process for all of them.
constexpr const char* kH5pyClassify = R"(
import sys, h5py
def dump(path):
    out = []
    with h5py.File(path, 'r') as f:
        def visit(name, obj):
            if isinstance(obj, h5py.Dataset):
                out.append((name, obj.shape, str(obj.dtype), obj[()].tobytes()))
            else:
                out.append((name,))
        f.visititems(visit)
    return out
cache = {}
lines = open(sys.argv[1]).read().split('\n')[int(sys.argv[2]):]
for line in lines:
    if not line:
        continue
    state, *versions = line.split()
    try:
        got = dump(state)
    except Exception:
        print('error', flush=True)
        continue
    for v in versions:
        if v not in cache:
            cache[v] = dump(v)
    print('ok' if any(cache[v] == got for v in versions) else 'wrong', flush=True)
)";

class Checker {
 public:
  Checker(const CrashRecorder& recorder, const fs::path& work, int h5py_limit)
      : recorder_(recorder), work_(work), h5py_limit_(h5py_limit) {
    for (const DiskFiles& checkpoint : recorder.checkpoints()) {
      for (const auto& [name, content] : checkpoint) {
        if (is_checked(name)) versions_[name];
      }
    }
    for (auto& [name, versions] : versions_) {
      for (const DiskFiles& checkpoint : recorder.checkpoints()) {
        auto it = checkpoint.find(name);
        std::optional<std::string> version;
        if (it != checkpoint.end()) version = it->second;
        if (std::find(versions.begin(), versions.end(), version) == versions.end()) {
          versions.push_back(version);
        }
      }
      if (!is_h5(name)) continue;
      for (std::size_t i = 0; i < versions.size(); ++i) {
        if (!versions[i]) continue;
        fs::path file = work_ / "versions" / (std::to_string(version_files_++) + ".h5");
        write_bytes(file, *versions[i]);
        // A scenario may start from a file an interrupted commit left hidden: no reader opens it.
        if (h5::is_hidden(file.string())) continue;
        values_[name].push_back(h5::plain_values(file.string()));
        version_paths_[name].push_back(file.string());
      }
    }
  }

  void check(const State& state, const std::string& where) {
    ++counts.states;
    fs::path dir = work_ / "state";
    rebuild(state, dir, false);
    if (!plain_reads_ok(state, dir, where)) ++counts.wrong_reads;
    bool record = write_records(state, dir, false);
    if (!recovered_ok(dir, where, "after recovery")) ++counts.wrong_files;
    if (!record) return;
    ++counts.states_with_record;
    rebuild(state, dir, true);
    if (!recovered_ok(dir, where, "after a reboot under another device number and recovery")) {
      ++counts.wrong_files_other_device;
    }
  }

  void run_h5py() {
    if (h5py_lines_.empty()) return;
    const std::string manifest = (work_ / "h5py" / "manifest").string();
    std::ofstream(manifest) << h5py_lines_;
    std::vector<std::string> results;
    while (results.size() < static_cast<std::size_t>(counts.h5py_reads)) {
      std::string output;
      int status =
          run_python(kH5pyClassify, manifest + " " + std::to_string(results.size()), &output);
      std::istringstream lines(output);
      for (std::string line; std::getline(lines, line);) results.push_back(line);
      if (status != 0 && results.size() < static_cast<std::size_t>(counts.h5py_reads)) {
        results.push_back("died");  // the reader crashed on this file: no values, but noted
        note("h5py", "h5py died reading state file #" + std::to_string(results.size() - 1));
      }
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (results[i] == "wrong") {
        ++counts.h5py_wrong;
        note("h5py", "h5py read wrong values: " + h5py_where_[i]);
      }
    }
  }

  CrashStateCounts counts;

 private:
  // A few failures of each check, so that one kind does not hide the others.
  void note(const std::string& check, const std::string& text) {
    if (noted_[check]++ < kExamplesPerCheck) counts.examples.push_back(text);
  }

  bool is_version(const std::string& name, const std::optional<std::string>& content) const {
    auto it = versions_.find(name);
    if (it == versions_.end()) return !content;  // a name no checkpoint has must not appear
    return std::find(it->second.begin(), it->second.end(), content) != it->second.end();
  }

  enum class Read { kVersion, kWrong, kError, kCrashed };

  Read read_values(const std::string& name, const fs::path& file) const {
    auto it = values_.find(name);
    std::optional<std::string> values;
    if (!plain_values_apart(file, &values)) return Read::kCrashed;
    if (!values) return Read::kError;
    if (it != values_.end() &&
        std::find(it->second.begin(), it->second.end(), *values) != it->second.end()) {
      return Read::kVersion;
    }
    return Read::kWrong;
  }

  // The names to check in `files`: every versioned name and every other name a reader may take
  // for data.
  std::set<std::string> checked_names(const DiskFiles& files) const {
    std::set<std::string> names;
    for (const auto& [name, versions] : versions_) names.insert(name);
    for (const auto& [name, content] : files) {
      if (is_checked(name)) names.insert(name);
    }
    return names;
  }

  void rebuild(const State& state, const fs::path& dir, bool other_device) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& [name, content] : state.files) {
      if (!is_record(name)) write_bytes(dir / name, content);
    }
    if (other_device) write_records(state, dir, true);
  }

  // Writes the state's records with their file identity moved to the rebuilt files; true when one
  // of them is complete and belongs to its file.
  bool write_records(const State& state, const fs::path& dir, bool other_device) {
    bool belongs = false;
    for (const auto& [name, content] : state.files) {
      if (!is_record(name)) continue;
      std::string bytes = content;
      std::string file = name.substr(0, name.size() - std::string(".rollback").size());
      auto record = h5::decode(std::as_bytes(std::span(bytes.data(), bytes.size())));
      auto inode = state.inodes.find(file);
      struct stat st {};
      if (record && inode != state.inodes.end() && ::stat((dir / file).c_str(), &st) == 0) {
        auto [device, number] = recorder_.identity(inode->second);
        bool same = record->identity.inode == number && same_device(record->identity, device);
        belongs = belongs || same;
        record->identity.inode = same ? st.st_ino : st.st_ino ^ (std::uint64_t{1} << 40);
        set_device(record->identity, other_device ? st.st_dev ^ 0x5a5a : st.st_dev);
        std::vector<std::byte> encoded = h5::encode(*record);
        bytes.assign(reinterpret_cast<const char*>(encoded.data()), encoded.size());
      }
      write_bytes(dir / name, bytes);
    }
    return belongs;
  }

  bool plain_reads_ok(const State& state, const fs::path& dir, const std::string& where) {
    bool ok = true;
    for (const std::string& name : checked_names(state.files)) {
      auto it = state.files.find(name);
      std::optional<std::string> content;
      if (it != state.files.end()) content = it->second;
      if (!content || is_version(name, content)) continue;  // a missing file fails to open
      if (!is_h5(name)) {
        ok = false;
        note("read", where + ": " + name + " holds bytes of no version");
        continue;
      }
      // Failing to open or read is what a half-written file may do.
      switch (read_values(name, dir / name)) {
        case Read::kWrong:
          ok = false;
          note("read", where + ": plain HDF5 read wrong values of " + name);
          break;
        case Read::kCrashed:
          ++counts.reader_crashes;
          note("crash", where + ": plain HDF5 died reading " + name);
          break;
        default:
          break;
      }
      queue_h5py(name, dir / name, where);
    }
    return ok;
  }

  void queue_h5py(const std::string& name, const fs::path& file, const std::string& where) {
    if (counts.h5py_reads >= h5py_limit_ || !versions_.count(name)) return;
    fs::path copy = work_ / "h5py" / (std::to_string(counts.h5py_reads++) + ".h5");
    fs::create_directories(copy.parent_path());
    fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
    h5py_lines_ += copy.string();
    for (const std::string& version : version_paths_[name]) h5py_lines_ += " " + version;
    h5py_lines_ += "\n";
    h5py_where_.push_back(where + ": " + name);
  }

  // `run` says which recovery: the check that the failures are counted under.
  bool recovered_ok(const fs::path& dir, const std::string& at, const std::string& run) {
    const std::string where = at + ", " + run;
    bool ok = true;
    DiskFiles before = read_tree(dir);
    for (const auto& [name, content] : before) {
      if (!is_h5(name)) continue;
      try {
        h5::recover_journal((dir / name).string());
      } catch (const Error& e) {
        ok = false;
        note(run, where + ": recovery of " + name + " failed: " + e.what());
      }
    }
    DiskFiles after = read_tree(dir);
    for (const std::string& name : checked_names(after)) {
      auto it = after.find(name);
      std::optional<std::string> content;
      if (it != after.end()) content = it->second;
      if (is_version(name, content)) continue;
      // Bytes beyond what HDF5 allocated, say, may differ while every value is that of a version.
      if (content && is_h5(name) && read_values(name, dir / name) == Read::kVersion) continue;
      ok = false;
      note(run, where + ": " + name + (content ? " is neither old nor new" : " is missing"));
    }
    for (const auto& [name, content] : after) {
      std::string file = name.substr(0, name.size() - std::string(".rollback").size());
      if (is_record(name) && after.count(file)) {
        ok = false;
        note(run, where + ": the record of " + file + " is left");
      }
    }
    return ok;
  }

  const CrashRecorder& recorder_;
  fs::path work_;
  int h5py_limit_;
  std::map<std::string, std::vector<std::optional<std::string>>> versions_;
  std::map<std::string, std::vector<std::string>> values_;
  std::map<std::string, std::vector<std::string>> version_paths_;
  int version_files_ = 0;
  std::map<std::string, int> noted_;
  std::string h5py_lines_;
  std::vector<std::string> h5py_where_;
};

}  // namespace

int crash_state_stride() {
#if defined(__SANITIZE_ADDRESS__) || TP_HAS_ADDRESS_SANITIZER
  constexpr int kDefault = 8;
#else
  constexpr int kDefault = 1;
#endif
  const char* text = std::getenv("TESSERA_CRASH_STATES_STRIDE");
  int stride = text ? std::atoi(text) : kDefault;
  return stride > 0 ? stride : 1;
}

std::string CrashStateCounts::summary(const std::string& scenario) const {
  std::ostringstream out;
  out << "crash states of " << scenario << ": " << states << " states at " << crash_points
      << " crash points (" << states_with_record
      << " with a rollback record, also rebooted under another device number); wrong files "
      << "after recovery: " << wrong_files << ", after the reboot: " << wrong_files_other_device
      << "; wrong plain HDF5 reads: " << wrong_reads << " (and " << reader_crashes
      << " that crashed); h5py: " << h5py_wrong << " wrong of " << h5py_reads << " read";
  for (const std::string& example : examples) out << "\n  " << example;
  return out.str();
}

CrashStateCounts check_crash_states(const CrashRecorder& recorder, const fs::path& work,
                                    unsigned seed, int h5py_limit) {
  Checker checker(recorder, work, h5py_limit);
  const int stride = crash_state_stride();
  std::mt19937 rng(seed);
  std::set<std::size_t> seen;
  CrashPoint point;
  point.names = recorder.start_names();
  point.durable = recorder.start_contents();
  point.pending.resize(point.durable.size());
  const auto& ops = recorder.ops();
  int candidates = 0;
  for (std::size_t k = 0; k <= ops.size(); ++k) {
    if (k > 0) point.step(ops[k - 1]);
    ++checker.counts.crash_points;
    const std::string where = k == 0 ? std::string("before the first call")
                                     : "after call " + std::to_string(k) + "/" +
                                           std::to_string(ops.size()) + " (" +
                                           ops[k - 1].describe() + ")";
    for (const Choice& choice : choices_at(point, rng)) {
      State state = build(point, choice);
      if (!seen.insert(fingerprint(state.files)).second) continue;
      if (candidates++ % stride != 0) continue;
      checker.check(state, where + describe(point, choice));
    }
  }
  checker.run_h5py();
  return checker.counts;
}

}  // namespace tessera_plus::testing
